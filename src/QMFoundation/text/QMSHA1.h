#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QString>

class QIODevice;

/// SHA-1 and SHA-256 digests (FIPS 180-4) as lower-case hexadecimal digits ("%02x" per byte):
/// 40 for SHA-1, 64 for SHA-256.
///
/// A text is digested as its UTF-8 bytes, so the QString and QByteArray forms agree on the same
/// text. A string literal or other C string picks the `const char *` overload and is digested as
/// its bytes up to the NUL, which is the same as the text for UTF-8 source. Absent input (a null
/// QString or QByteArray, a null pointer) gives a null QString; empty input gives the digest of
/// no bytes. SHA-1 is no longer collision-resistant: prefer SHA-256 for anything adversarial.
namespace QMSHA1 {

/// The SHA-1 digest of the UTF-8 bytes of `string`.
QMF_CORE_EXPORT QString SHA1String(const QString &string);
/// The SHA-1 digest of `data`.
QMF_CORE_EXPORT QString SHA1String(const QByteArray &data);
/// The SHA-1 digest of the bytes of the NUL-terminated `string`.
QMF_CORE_EXPORT QString SHA1String(const char *string);
/// The SHA-1 digest of what `device` (open for reading) gives from where it stands to its
/// end, read a piece at a time: a file of any size is digested in a few hundred KiB of memory.
/// A null QString when the device is not open for reading or a read fails (its errorString()
/// says why); for a sequential device other than a file, the end is where read() first gives
/// nothing, so wait for a socket's or a process's data to arrive first.
QMF_CORE_EXPORT QString SHA1StringOfDevice(QIODevice &device);

/// The SHA-256 digest of the UTF-8 bytes of `string`.
QMF_CORE_EXPORT QString SHA256String(const QString &string);
/// The SHA-256 digest of `data`.
QMF_CORE_EXPORT QString SHA256String(const QByteArray &data);
/// The SHA-256 digest of the bytes of the NUL-terminated `string`.
QMF_CORE_EXPORT QString SHA256String(const char *string);
/// The SHA-256 digest of what `device` (open for reading) gives from where it stands to its
/// end, read a piece at a time: a file of any size is digested in a few hundred KiB of memory.
/// A null QString when the device is not open for reading or a read fails (its errorString()
/// says why); for a sequential device other than a file, the end is where read() first gives
/// nothing, so wait for a socket's or a process's data to arrive first.
QMF_CORE_EXPORT QString SHA256StringOfDevice(QIODevice &device);

} // namespace QMSHA1
