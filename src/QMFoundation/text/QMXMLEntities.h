#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace QMXMLEntities {

/// Replaces & < > " ' with &amp; &lt; &gt; &quot; &apos;.
QMF_CORE_EXPORT QString stringByEscapingXMLEntities(const QString &string);
QMF_CORE_EXPORT QString stringByEscapingEntities(const QString &string);

/// Replaces the five predefined entities and decimal (&#38;) and hexadecimal (&#x26;) character
/// references with their characters. References that are malformed, out of range or name no
/// valid character (such as "&#0;", "&#x;" or "&#99999999999;") stay as they are.
QMF_CORE_EXPORT QString stringByUnescapingXMLEntities(const QString &string);
QMF_CORE_EXPORT QString stringByUnescapingEntities(const QString &string);

} // namespace QMXMLEntities
