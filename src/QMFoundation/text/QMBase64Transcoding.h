#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QString>

/// Base64 for QByteArray and QString, on top of the codec in text/QMBase64.h.
///
/// Encoded text is RFC 4648 Base64 with "=" padding in lines of 72 characters, each followed by
/// "\r\n" (also the last line when it is full). Decoding skips white space and characters
/// outside the alphabet and needs no padding (see Base64DecodeData for the exact rules).
///
/// Absent and empty inputs give empty, non-null results; a null result means the input was too
/// large for the codec's 32-bit size arithmetic (about 1.5 GiB of data to encode, 2.6 G
/// characters to decode).
namespace QMBase64Transcoding {

/// The bytes that `string` decodes to. The text must be 7-bit ASCII: a string that holds any
/// other character (even a Latin-1 letter such as "é") gives empty data, as does a null or
/// empty string. Characters outside the alphabet are skipped, so this never fails on content.
QMF_CORE_EXPORT QByteArray dataWithBase64EncodedString(const QString &string);
/// The Base64 text of `data`; empty (not null) for null or empty data.
QMF_CORE_EXPORT QString encodeBase64(const QByteArray &data);
/// The same as encodeBase64().
QMF_CORE_EXPORT QString stringUsingBase64Encoding(const QByteArray &data);

/// The same as encodeBase64().
QMF_CORE_EXPORT QString stringWithDataUsingBase64Encoding(const QByteArray &data);
/// The same as dataWithBase64EncodedString().
QMF_CORE_EXPORT QByteArray dataUsingBase64Encoding(const QString &string);

} // namespace QMBase64Transcoding
