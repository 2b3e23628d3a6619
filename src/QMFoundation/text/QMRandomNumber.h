#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QtGlobal>

/// Random numbers from the system's strong random source (QRandomGenerator::system(), the
/// operating system's cryptographically secure generator). Safe to call from any thread.
namespace QMRandomNumber {

/// 32 random bits read as a signed integer, so negative half the time.
QMF_CORE_EXPORT qint32 randomNumber();

/// A value drawn uniformly from 0 to limit - 1, without modulo bias. Only the low 32 bits of
/// `limit` are used: randomNumberWithLimit(0x100000005) draws below 5, and a limit whose low 32
/// bits are 0 or 1 (including 2^32) gives 0.
QMF_CORE_EXPORT quint32 randomNumberWithLimit(quint64 limit);

} // namespace QMRandomNumber
