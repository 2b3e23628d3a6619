#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>

/// Random byte strings from the system's strong random source.
namespace QMRandom {

/// The 36 characters random data is made of: "abcdefghijklmnopqrstuvwxyz1234567890" (the
/// lower-case letters, then the digits 1 to 9, then 0).
QMF_CORE_EXPORT QByteArray alphabet();

/// `count` bytes, each a character of alphabet() chosen independently and with equal chance: a
/// random byte from the operating system's cryptographically secure source (getrandom(), read
/// once for the whole buffer; QRandomGenerator::system() where the kernel lacks it) picks it,
/// its value modulo 36, and the bytes 252 to 255, which would favour the first four characters,
/// are drawn again. A count of 0 gives empty data; a count that cannot be allocated throws
/// std::bad_alloc.
QMF_CORE_EXPORT QByteArray randomDataWithSizeInBytes(quint64 count);

} // namespace QMRandom
