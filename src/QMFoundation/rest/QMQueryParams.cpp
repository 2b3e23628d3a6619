#include <QMFoundation/rest/QMQueryParams.h>

#include <QStringTokenizer>

namespace QMQueryParams {

namespace {

// An empty side is the empty text, never a null one ("none").
QString text(QStringView view)
{
    return view.isEmpty() ? QStringLiteral("") : view.toString();
}

} // namespace

QMap<QString, QString> queryParams(const QString &query)
{
    QMap<QString, QString> params;
    for (const QStringView piece : QStringTokenizer(query, u'&')) {
        const qsizetype equals = piece.indexOf(u'=');
        if (equals < 0 || piece.indexOf(u'=', equals + 1) >= 0)
            continue;
        params.insert(text(piece.left(equals)), text(piece.mid(equals + 1)));
    }
    return params;
}

std::optional<QMap<QString, QString>> queryParams(const QUrl &url)
{
    if (!url.hasQuery())
        return std::nullopt;
    return queryParams(url.query(QUrl::FullyEncoded));
}

} // namespace QMQueryParams
