#include <QMFoundation/rest/QMURLEncoding.h>

#include <QMFoundation/errors/QMObjectDescribing.h>
#include <QMFoundation/rest/QMURLTranscoding.h>

namespace QMURLEncoding {

namespace {

// False when `text` holds a lone surrogate, the one thing the encoding refuses. A null text
// encodes to a null text and stands for an empty one here.
bool appendEncoded(QString &query, const QString &text)
{
    const QString encoded = QMURLTranscoding::stringByURLEncodingString(text);
    query += encoded;
    return !encoded.isNull() || text.isNull();
}

} // namespace

QString URLEncodedQueryString(const QVariantMap &params)
{
    QString query = QStringLiteral("");
    for (auto entry = params.cbegin(); entry != params.cend(); ++entry) {
        if (entry != params.cbegin())
            query += u'&';
        if (!appendEncoded(query, entry.key()))
            return QString();
        query += u'=';
        if (!appendEncoded(query, QMObjectDescribing::prettyDescriptionForObject(entry.value())))
            return QString();
    }
    return query;
}

QList<QPair<QString, QString>> queryItems(const QVariantMap &params)
{
    QList<QPair<QString, QString>> items;
    items.reserve(params.size());
    for (auto entry = params.cbegin(); entry != params.cend(); ++entry)
        items.append({entry.key(), QMObjectDescribing::prettyDescriptionForObject(entry.value())});
    return items;
}

} // namespace QMURLEncoding
