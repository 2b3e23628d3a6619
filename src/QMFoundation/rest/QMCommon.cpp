#include <QMFoundation/rest/QMCommon.h>

#include <QMFoundation/rest/QMURLEncoding.h>

using namespace Qt::StringLiterals;

namespace QMCommon {

namespace {

// The rebuilding functions hand over the user name in its encoded form (TolerantMode), so that
// a name whose escapes are not UTF-8 survives; callers of URLWithScheme() hand over plain text.
QUrl build(const QString &scheme, const QString &username, QUrl::ParsingMode usernameMode,
           const QString &host, int port, const QString &path, const QString &query,
           const QString &fragment)
{
    // QUrl keeps only the last setter's error, so each one is checked as it is made.
    QUrl url;
    const auto set = [&url](auto setter) {
        setter();
        return url.errorString().isEmpty();
    };
    const bool built = set([&] { url.setScheme(scheme); })
            && (username.isEmpty() || set([&] { url.setUserName(username, usernameMode); }))
            && set([&] { url.setHost(host, QUrl::TolerantMode); })
            && set([&] { url.setPort(port); })
            && set([&] { url.setPath(path, QUrl::TolerantMode); })
            && set([&] { url.setQuery(query, QUrl::TolerantMode); })
            && set([&] { url.setFragment(fragment, QUrl::TolerantMode); });
    if (!built)
        return QUrl();
    return url.isValid() ? url : QUrl();
}

bool isRebuildable(const QUrl &url)
{
    return !url.isLocalFile() && !url.host().isEmpty();
}

// QUrl gives no flag for "there is user information", but only a user name or password can put
// an "@" into the authority: one in the host would be escaped.
bool hasUserInfo(const QUrl &url)
{
    return url.authority(QUrl::FullyEncoded).contains(u'@');
}

} // namespace

QUrl URLWithScheme(const QString &scheme, const QString &username, const QString &host, int port,
                   const QString &path, const QString &query, const QString &fragment)
{
    return build(scheme, username, QUrl::DecodedMode, host, port, path, query, fragment);
}

QUrl URLWithScheme(const QString &scheme, const QString &host, int port, const QString &path)
{
    return build(scheme, QString(), QUrl::DecodedMode, host, port, path, QString(), QString());
}

QUrl URLBySettingUser(const QUrl &url, const QString &user)
{
    if (!isRebuildable(url))
        return url;
    return build(url.scheme(), user, QUrl::DecodedMode, url.host(QUrl::FullyEncoded), url.port(),
                 url.path(QUrl::FullyEncoded), url.query(QUrl::FullyEncoded),
                 url.fragment(QUrl::FullyEncoded));
}

QUrl URLByRemovingUser(const QUrl &url)
{
    if (!isRebuildable(url) || !hasUserInfo(url))
        return url;
    return build(url.scheme(), QString(), QUrl::DecodedMode, url.host(QUrl::FullyEncoded),
                 url.port(), url.path(QUrl::FullyEncoded), url.query(QUrl::FullyEncoded),
                 url.fragment(QUrl::FullyEncoded));
}

QUrl URLByDeletingPathAndQueryString(const QUrl &url)
{
    if (!isRebuildable(url))
        return url;
    return build(url.scheme(), url.userName(QUrl::FullyEncoded), QUrl::TolerantMode,
                 url.host(QUrl::FullyEncoded), url.port(), QString(), QString(), QString());
}

QUrl URLByDeletingPath(const QUrl &url)
{
    return URLByDeletingPathAndQueryString(url);
}

QUrl URLByAppendingQueryParams(const QUrl &url, const QVariantMap &params)
{
    const QString query = QMURLEncoding::URLEncodedQueryString(params);
    if (!query.isNull() && query.isEmpty())
        return url;
    // A null query: a key or value held a lone surrogate. An invalid URL has no text to extend.
    if (query.isNull() || !url.isValid())
        return QUrl();
    const QString text = url.toString(QUrl::FullyEncoded) + (url.hasQuery() ? u'&' : u'?') + query;
    const QUrl result(text, QUrl::TolerantMode);
    return result.isValid() ? result : QUrl();
}

bool isValidWebURL(const QUrl &url)
{
    const QString scheme = url.scheme();
    return scheme == u"http"_s || scheme == u"https"_s;
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    const auto port = [](const QUrl &url) {
        return url.port(url.scheme().compare(u"https"_s, Qt::CaseInsensitive) == 0 ? 443 : 80);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
            && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

} // namespace QMCommon
