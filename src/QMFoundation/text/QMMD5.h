#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QString>

class QIODevice;

/// MD5 digests (RFC 1321) as 32 lower-case hexadecimal digits ("%02x" per byte).
///
/// A text is digested as its UTF-8 bytes, so MD5String(QString) and MD5String(QByteArray) agree
/// on the same text. A string literal or other C string picks the `const char *` overload and is
/// digested as its bytes up to the NUL, which is the same as the text for UTF-8 source. Absent
/// input (a null QString or QByteArray, a null pointer) gives a null QString; empty input gives
/// the digest of no bytes, "d41d8cd98f00b204e9800998ecf8427e". MD5 is no longer a secure hash:
/// use it for checksums and cache keys, not against an adversary.
namespace QMMD5 {

/// The MD5 digest of the UTF-8 bytes of `string`.
QMF_CORE_EXPORT QString md5(const QString &string);
/// The MD5 digest of the UTF-8 bytes of `string`.
QMF_CORE_EXPORT QString MD5String(const QString &string);
/// The MD5 digest of `data`.
QMF_CORE_EXPORT QString MD5String(const QByteArray &data);
/// The MD5 digest of the bytes of the NUL-terminated `string`.
QMF_CORE_EXPORT QString MD5String(const char *string);
/// The MD5 digest of what `device` (open for reading) gives from where it stands to its
/// end, read a piece at a time: a file of any size is digested in a few hundred KiB of memory.
/// A null QString when the device is not open for reading or a read fails (its errorString()
/// says why); for a sequential device other than a file, the end is where read() first gives
/// nothing, so wait for a socket's or a process's data to arrive first.
QMF_CORE_EXPORT QString MD5StringOfDevice(QIODevice &device);

} // namespace QMMD5
