#include "text/JSONTranscoding.h"

#include "errors/QMJSONValue_p.h"
#include "errors/QMNull.h"
#include "text/QMStringDecoding.h"

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

// Qt's parser already insists on an array or an object at the top level.
std::optional<QJsonDocument> parse(const QByteArray &data, QMError *error)
{
    QJsonParseError failure;
    QJsonDocument document = QJsonDocument::fromJson(data, &failure);
    if (failure.error != QJsonParseError::NoError) {
        QMSetError(error, parseError(failure, data.size()));
        return std::nullopt;
    }
    return document;
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
        return QJsonDocument(json->toArray()).toJson(QJsonDocument::Compact);
    if (json->isObject())
        return QJsonDocument(json->toObject()).toJson(QJsonDocument::Compact);
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
    const std::optional<QJsonDocument> document = parse(data, error);
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
    const std::optional<QJsonDocument> document = parse(data, error);
    if (!document)
        return QVariant();
    // JSON null becomes QVariant::fromValue(nullptr) in Qt 6, which is exactly QMNull().
    if (document->isObject())
        return document->object().toVariantMap();
    return document->array().toVariantList();
}
