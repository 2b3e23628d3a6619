#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>
#include <QUrl>
#include <QVariantMap>

/// Building URLs from components, rebuilding them with another user or without path and query,
/// appending query parameters, and telling web URLs apart.
///
/// Components are handed over in two forms:
///  - the user name is plain text; QUrl escapes what a user name cannot hold, so an e-mail
///    address works as a login ("joe@example.com" becomes "joe%40example.com@host");
///  - scheme, host, path, query and fragment are taken in their percent-encoded form, as
///    QUrl::FullyEncoded gives them, and read the way QUrl's setters read QUrl::TolerantMode: an
///    escape stays an escape (a path "/a%2Fb" keeps its "%2F" apart from "/"), a character that
///    a component cannot hold, such as a space, is escaped, and a component with a "%" that
///    starts no escape has every "%" taken literally.
/// The rebuilding functions read the components this way from the URL they rebuild, so nothing
/// is lost or decoded twice.
///
/// A null QString means "no such component" and an empty one an empty component where QUrl
/// tells the two apart (a query "" gives "http://host/?"); a port of -1 means none. An empty
/// QUrl stands for "no URL". File URLs are those with the scheme "file"; a URL "has a host" when
/// its host is not empty.
namespace QMCommon {

/// A URL from the given components (see above); a null or empty `username` sets no user, and no
/// password is ever set. An empty QUrl when QUrl cannot form a valid URL from them: a scheme
/// that does not start with a letter, an invalid host, a port outside 0-65535, a path not
/// starting with "/" after a host, or no component at all.
QMF_CORE_EXPORT QUrl URLWithScheme(const QString &scheme, const QString &username,
                                   const QString &host, int port, const QString &path,
                                   const QString &query, const QString &fragment);
/// URLWithScheme() with no user name, query or fragment.
QMF_CORE_EXPORT QUrl URLWithScheme(const QString &scheme, const QString &host, int port,
                                   const QString &path);

/// For a URL that is not a file URL and has a host: the URL rebuilt from its scheme, host, port,
/// path, query and fragment with `user` as user name (a null or empty `user` sets none); the
/// old user and any password are gone. Other URLs come back unchanged.
QMF_CORE_EXPORT QUrl URLBySettingUser(const QUrl &url, const QString &user);

/// For a URL that is not a file URL, has a host and has user information (a user name, a
/// password or both, even an empty "@"): the URL rebuilt from its scheme, host, port, path,
/// query and fragment, without user and password. Other URLs come back unchanged.
QMF_CORE_EXPORT QUrl URLByRemovingUser(const QUrl &url);

/// For a URL that is not a file URL and has a host: the URL rebuilt from its scheme, user name,
/// host and port only; path, query, fragment and password are gone
/// ("https://joe:pw@example.com:8443/a?b#c" gives "https://joe@example.com:8443"). Other URLs
/// come back unchanged.
QMF_CORE_EXPORT QUrl URLByDeletingPathAndQueryString(const QUrl &url);
/// The same as URLByDeletingPathAndQueryString().
QMF_CORE_EXPORT QUrl URLByDeletingPath(const QUrl &url);

/// `url` with QMURLEncoding::URLEncodedQueryString() of `params` appended to its text: after "&"
/// when the URL has a query (even an empty one), after "?" when it has none. An empty map gives
/// `url` unchanged.
///
/// The parameters go at the very end of the URL's text, so with a fragment they land in the
/// fragment ("http://host/p#top" and {a: 1} give "http://host/p#top?a=1"): append them before
/// you set a fragment. An empty QUrl when `url` is not valid, when a key or value holds a lone
/// surrogate, or when the text does not read back as a valid URL.
QMF_CORE_EXPORT QUrl URLByAppendingQueryParams(const QUrl &url, const QVariantMap &params);

/// True exactly when the URL's scheme is "http" or "https". The comparison is exact, but QUrl
/// keeps schemes in lower case, so "HTTP://host" is a web URL too.
QMF_CORE_EXPORT bool isValidWebURL(const QUrl &url);

/// True when the two URLs have the same origin: the same scheme and host (compared without
/// regard to case) and the same port, a missing port counting as the scheme's default (80 for
/// http, 443 for https). Credentials given for one URL go only to URLs of its origin.
QMF_CORE_EXPORT bool isSameOrigin(const QUrl &a, const QUrl &b);

} // namespace QMCommon
