#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QList>
#include <QPair>
#include <QString>
#include <QVariantMap>

/// Query strings and query items from a parameter dictionary.
///
/// A value enters as its description, the text "%@" gives it
/// (QMObjectDescribing::prettyDescriptionForObject()): a text as it is, the number 5 as "5", true
/// and false as "1" and "0", a URL as its text. A list or map is not expanded into several
/// parameters; its description is one value. An invalid QVariant or QMNull() reads "<null>".
///
/// Entries come in the map's order, that is by key.
namespace QMURLEncoding {

/// "key=value" pairs joined with "&", without a leading "?"; each key and value encoded with
/// QMURLTranscoding::stringByURLEncodingString(), so "&", "=", "+", "%" and spaces inside them
/// arrive escaped: {"a&b": "1=2"} gives "a%26b=1%3D2". The empty string for an empty map. Null
/// when a key or value holds a lone surrogate, which no escape can carry.
QMF_CORE_EXPORT QString URLEncodedQueryString(const QVariantMap &params);

/// One (name, value) item per entry, in the map's order, the value as its description. Nothing
/// is escaped: the items are in the form QUrlQuery::setQueryItems() takes.
QMF_CORE_EXPORT QList<QPair<QString, QString>> queryItems(const QVariantMap &params);

} // namespace QMURLEncoding
