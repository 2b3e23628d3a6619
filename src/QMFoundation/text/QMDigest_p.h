#pragma once

// The message digests behind QMMD5 and QMSHA1, as lower-case hexadecimal text ("%02x" per byte,
// in digest order). Absent input (a null QString or QByteArray, a null pointer) gives a null
// QString; a text is digested as its UTF-8 bytes.

#include <QByteArray>
#include <QString>

class QIODevice;

namespace QMDigest {

enum class Algorithm { MD5, SHA1, SHA256 };

QString hexDigest(Algorithm algorithm, const QString &string);
QString hexDigest(Algorithm algorithm, const QByteArray &data);
QString hexDigest(Algorithm algorithm, const char *string);
/// The digest of what `device` gives from where it stands until read() gives nothing more (the
/// end of a file, of a pipe's data), read a piece at a time; a null QString when the device is
/// not open for reading or a read fails.
QString hexDigest(Algorithm algorithm, QIODevice &device);

} // namespace QMDigest
