#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QString>

/// The standard place of the system-version property list, named in the messages of
/// QMProcessInfo::versionStringFromSystemVersionPropertyList().
QMF_CORE_EXPORT extern const QString QMSystemVersionPropertyListPath;

/// The operating system's version as "major.minor.patch", and the rules that read it.
namespace QMProcessInfo {

/// The distribution's version, "%1.%2.%3" of major, minor and patch: VERSION_ID of
/// /etc/os-release (or /usr/lib/os-release when that is missing) read by
/// versionStringFromOSRelease(), so Debian 12 gives "12.0.0". Computed once per process, on the
/// first call from any thread, and kept.
QMF_CORE_EXPORT QString operatingSystemVersionString();
/// The same text.
QMF_CORE_EXPORT QString operatingSystemVersionStringValue();

/// The version in os-release text (os-release(5)): the value of the last VERSION_ID line,
/// unquoted ('...' or "..." with backslash escapes), split at "."; each of the first three parts
/// is read as its leading decimal digits (none: 0, saturating at the largest qint64), and a
/// missing part reads as 0. "VERSION_ID=\"22.04\"" gives "22.4.0"; text without VERSION_ID gives
/// "0.0.0". Any text is accepted.
QMF_CORE_EXPORT QString versionStringFromOSRelease(const QString &osRelease);

/// The version in an XML property list whose top-level dictionary has a "ProductVersion"
/// string: the value split at "."; the first two parts are major and minor, the third is the
/// patch when there are exactly three parts, else 0. Each part is read as its leading decimal
/// digits (none: 0). "10.15" gives "10.15.0", "11.2.3" gives "11.2.3", "1.2.3.4" gives "1.2.0".
///
/// Throws QMInternalInconsistencyException, `path` being the file named in the text:
///  - "Expected <path>" when the bytes are not a property list with a top-level dictionary;
///  - "Expected valid version string from key 'ProductVersion' in '<path>'" when the dictionary
///    has no "ProductVersion" string;
///  - "Expected at least major and minor version: '<value>'" when the value has no ".".
QMF_CORE_EXPORT QString versionStringFromSystemVersionPropertyList(
        const QByteArray &propertyList, const QString &path = QMSystemVersionPropertyListPath);

/// versionStringFromSystemVersionPropertyList() of the file at `path`, read afresh on every call,
/// for hosts that keep such a file; throws "Expected <path>" when it cannot be read.
QMF_CORE_EXPORT QString operatingSystemVersionStringFromPropertyListAtPath(const QString &path);

} // namespace QMProcessInfo
