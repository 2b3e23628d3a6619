#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>

/// Random byte strings from the system's strong random source.
namespace QMRandom {

/// The 36 characters random data is made of: "abcdefghijklmnopqrstuvwxyz1234567890" (the
/// lower-case letters, then the digits 1 to 9, then 0).
QMF_CORE_EXPORT QByteArray alphabet();

/// `count` bytes, each a character of alphabet() chosen independently: a 32-bit value
/// from QRandomGenerator::system() (the operating system's cryptographically secure source)
/// modulo 36 picks it. The modulo leaves a bias of under one part in 10^8 towards the first
/// four characters, too small to matter for identifiers and nonces. A count of 0 gives empty
/// data; a count that cannot be allocated throws std::bad_alloc.
QMF_CORE_EXPORT QByteArray randomDataWithSizeInBytes(quint64 count);

} // namespace QMRandom
