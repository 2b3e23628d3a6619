#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

/// Reading a query string ("name=value&name=value") back into names and values.
namespace QMQueryParams {

/// The parameters of `query`, split at every "&" and each piece at every "=":
///  - a piece with exactly one "=" gives the entry name -> value; either side may be empty
///    ("=x" gives "" -> "x", "a=" gives "a" -> "");
///  - a piece without "=" or with more than one is skipped ("a=1&b&c=2=3" gives only a -> 1);
///  - a name given again replaces the earlier value ("a=1&a=2" gives a -> 2).
/// Nothing is decoded: "q=%20" gives q -> "%20", and "+" stays "+". Decode names and values with
/// QMURLTranscoding::stringByURLDecodingString() where you need their text.
QMF_CORE_EXPORT QMap<QString, QString> queryParams(const QString &query);

/// queryParams() of the URL's query as it stands in the URL (QUrl::FullyEncoded, so still
/// percent-encoded; QUrl writes escapes of letters, digits and "-._~" as the characters
/// themselves). std::nullopt when the URL has no query; an empty map for an empty one ("x?").
QMF_CORE_EXPORT std::optional<QMap<QString, QString>> queryParams(const QUrl &url);

} // namespace QMQueryParams
