#include "QMFoundation/text/JSONTranscoding_p.h"
#include <QMFoundation/text/JSONTranscoding.h>

#include "QMFoundation/errors/QMJSONValue_p.h"
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>

const QString QMJSONTranscodingErrorDomain = QStringLiteral("QMJSONTranscodingErrorDomain");
const QString QMJSONErrorOffsetKey = QStringLiteral("QMJSONErrorOffsetKey");
const QString QMJSONErrorPathKey = QStringLiteral("QMJSONErrorPathKey");

namespace {

QMError parseError(const QJsonParseError &failure, qsizetype size)
{
    const QString message = failure.errorString();
    // Qt places an unterminated string one past the end of the data; a caller that shows the
    // offending byte must not be sent outside the data.
    const qint64 offset = std::min<qint64>(failure.offset, size);
    return QMError(QMJSONTranscodingErrorDomain, QMJSONTranscodingErrorInvalidData,
                   {{QMLocalizedDescriptionKey,
                     QStringLiteral("The data is not valid JSON: %1 at offset %2.")
                             .arg(message, QString::number(offset))},
                    {QMLocalizedFailureReasonErrorKey, message},
                    {QMJSONErrorOffsetKey, offset}});
}

QMError valueError(const QMJSONValueFailure &failure)
{
    const QString description = failure.path.isEmpty()
            ? QStringLiteral("The value cannot be written as JSON.")
            : QStringLiteral("The value at %1 cannot be written as JSON.").arg(failure.path);
    return QMError(QMJSONTranscodingErrorDomain, QMJSONTranscodingErrorInvalidValue,
                   {{QMLocalizedDescriptionKey, description},
                    {QMLocalizedFailureReasonErrorKey, failure.reason},
                    {QMJSONErrorPathKey, failure.path}});
}

QString kindOf(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("an invalid QVariant");
    if (QMIsNull(value))
        return QStringLiteral("the null marker");
    return QStringLiteral("a value of type ") + QString::fromUtf8(value.typeName());
}

QMError topLevelError(const QString &kind)
{
    return QMError(QMJSONTranscodingErrorDomain, QMJSONTranscodingErrorInvalidTopLevel,
                   {{QMLocalizedDescriptionKey,
                     QStringLiteral("Only an array or an object can be written as a JSON "
                                    "document.")},
                    {QMLocalizedFailureReasonErrorKey, kind},
                    {QMJSONErrorPathKey, QStringLiteral("")}});
}

// U+FEFF in UTF-8. Qt's reader decodes each text with QString::fromUtf8(), which takes a U+FEFF
// at the start of a text for a byte-order mark and drops it, so the character would be lost.
constexpr QByteArrayView byteOrderMark("\xEF\xBB\xBF");
constexpr QByteArrayView escapedByteOrderMark("\\ufeff");

// `data` with every U+FEFF after the document's own leading byte-order mark written as the
// escape "\ufeff", which Qt reads faithfully. Inside a text the two mean the same; anywhere
// else both are invalid. `escapes` receives the positions of the replaced bytes in `data`.
QByteArray escapedByteOrderMarks(const QByteArray &data, qsizetype first, QList<qsizetype> &escapes)
{
    QByteArray escaped;
    escaped.reserve(data.size() + 8);
    qsizetype from = 0;
    for (qsizetype at = first; at >= 0; at = data.indexOf(byteOrderMark, at + 3)) {
        escaped.append(data.constData() + from, at - from);
        escaped.append(escapedByteOrderMark);
        escapes.append(at);
        from = at + 3;
    }
    escaped.append(data.constData() + from, data.size() - from);
    return escaped;
}

} // namespace

// Qt's parser already insists on an array or an object at the top level.
std::optional<QJsonDocument> QMJSONDocumentFromData(const QByteArray &data, QMError *error)
{
    const qsizetype start = data.startsWith(byteOrderMark) ? 3 : 0;
    const qsizetype first = data.indexOf(byteOrderMark, start);
    QList<qsizetype> escapes;
    const QByteArray input = first < 0 ? data : escapedByteOrderMarks(data, first, escapes);

    QJsonParseError failure;
    QJsonDocument document = QJsonDocument::fromJson(input, &failure);
    if (failure.error != QJsonParseError::NoError) {
        // Back to an offset in the data as given: each escape is three bytes longer than the
        // character it stands for, and an offset inside one points at its start.
        qsizetype offset = failure.offset;
        qsizetype shift = 0;
        for (const qsizetype at : std::as_const(escapes)) {
            const qsizetype escapedAt = at + shift;
            if (offset < escapedAt + escapedByteOrderMark.size()) {
                if (offset > escapedAt)
                    offset = escapedAt;
                break;
            }
            shift += escapedByteOrderMark.size() - byteOrderMark.size();
        }
        failure.offset = int(offset - shift);
        QMSetError(error, parseError(failure, data.size()));
        return std::nullopt;
    }
    return document;
}

namespace {

// Qt writes U+FEFF raw, and a reader that decodes texts like Qt's own would drop it at the start
// of a text; the escape is read the same everywhere. Raw, the bytes can stand for nothing else:
// everything else Qt writes around texts is ASCII.
QByteArray withEscapedByteOrderMarks(QByteArray json)
{
    if (json.contains(byteOrderMark))
        json.replace(byteOrderMark, escapedByteOrderMark);
    return json;
}

QByteArray write(const QVariant &value, QMError *error)
{
    QMJSONValueFailure failure;
    const std::optional<QJsonValue> json = QMJSONValueFromVariant(value, &failure);
    if (!json) {
        // A refusal of the value itself means it is no container at all.
        QMSetError(error,
                   failure.path.isEmpty() ? topLevelError(failure.reason) : valueError(failure));
        return QByteArray();
    }
    if (json->isArray())
        return withEscapedByteOrderMarks(
                QJsonDocument(json->toArray()).toJson(QJsonDocument::Compact));
    if (json->isObject())
        return withEscapedByteOrderMarks(
                QJsonDocument(json->toObject()).toJson(QJsonDocument::Compact));
    QMSetError(error, topLevelError(kindOf(value)));
    return QByteArray();
}

} // namespace

QVariant JSONTranscoding::arrayWithDataUsingJSONEncoding(const QByteArray &data, QMError *error)
{
    return JSONObject(data, error);
}

std::optional<QVariantMap>
JSONTranscoding::dictionaryWithDataUsingJSONEncoding(const QByteArray &data, QMError *error)
{
    const std::optional<QJsonDocument> document = QMJSONDocumentFromData(data, error);
    if (!document)
        return std::nullopt;
    if (!document->isObject()) {
        QMSetError(error, QMError());
        return std::nullopt;
    }
    return document->object().toVariantMap();
}

QByteArray JSONTranscoding::dataUsingJSONEncoding(const QVariantList &list, QMError *error)
{
    return write(list, error);
}

QByteArray JSONTranscoding::dataUsingJSONEncoding(const QVariantMap &dictionary, QMError *error)
{
    return write(dictionary, error);
}

QString JSONTranscoding::stringUsingJSONEncoding(const QVariantMap &dictionary, QMError *error)
{
    const QByteArray data = write(dictionary, error);
    if (data.isNull())
        return QString();
    // Qt writes UTF-8 and escapes lone surrogates, so the bytes always decode.
    return QMStringDecoding::stringUsingUTF8Encoding(data);
}

QByteArray JSONTranscoding::dataWithJSONObject(const QVariant &object, QMError *error)
{
    return write(object, error);
}

QVariant JSONTranscoding::JSONObject(const QByteArray &data, QMError *error)
{
    const std::optional<QJsonDocument> document = QMJSONDocumentFromData(data, error);
    if (!document)
        return QVariant();
    // JSON null becomes QVariant::fromValue(nullptr) in Qt 6, which is exactly QMNull().
    if (document->isObject())
        return document->object().toVariantMap();
    return document->array().toVariantList();
}
