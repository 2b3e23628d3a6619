#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QObject>
#include <QString>

/// Always false: the library has no debug environment of its own to report.
QMF_CORE_EXPORT bool QMIsDebugEnvironment();

namespace QMThread {

/// The kernel's numeric identifier of the calling thread (gettid()), unique among the live
/// threads of the system.
QMF_CORE_EXPORT quint64 identifier();

} // namespace QMThread

namespace QMStringEncoding {

/// The preferred IANA name of the character set `name` names (any IANA name or alias, as ICU
/// knows them, case-insensitively: "latin1" gives "ISO-8859-1", "utf8" gives "UTF-8",
/// "sjis" gives "Shift_JIS"); a null QString for a name ICU does not know. The result names the
/// encoding to ICU's converters, and QStringConverter::encodingForName() knows it for UTF-8,
/// UTF-16, UTF-32 and ISO-8859-1.
QMF_CORE_EXPORT QString stringEncodingFromIANACharSetName(const QString &name);

/// True when the two texts are the same code unit for code unit (QString's ==; no
/// normalisation).
QMF_CORE_EXPORT bool isEqualToUnicodeString(const QString &string, const QString &other);

} // namespace QMStringEncoding

namespace QMObjectStrings {

/// The table in which the object's texts are looked up: its class name
/// (QMetaObject::className()); a null QString for a null object.
QMF_CORE_EXPORT QString defaultStringsTable(const QObject *object);

} // namespace QMObjectStrings
