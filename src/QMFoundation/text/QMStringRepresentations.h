#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace QMStringRepresentations {

/// "YES" or "NO".
QMF_CORE_EXPORT QString stringForBoolean(bool value);
QString stringForBoolean(const char *) = delete;
/// Signed decimal.
QMF_CORE_EXPORT QString stringForInteger(qint64 value);
/// Unsigned decimal.
QMF_CORE_EXPORT QString stringForUnsignedInteger(quint64 value);
/// Shortest decimal text that reads back as the same double ("0.1", "1.5", "3", "-0",
/// "1e+100"). Positional for decimal exponents from -4 to 16 ("1000000", "0.0001"), scientific
/// with a signed exponent of at least two digits otherwise ("1e+17", "1e-06").
/// Infinities and NaN read "inf", "-inf" and "nan".
QMF_CORE_EXPORT QString stringForDouble(double value);
/// Shortest decimal text that reads back as the same float ("0.1" for 0.1f), laid out as
/// stringForDouble() does but positional only for decimal exponents from -4 to 8.
QMF_CORE_EXPORT QString stringForFloat(float value);

} // namespace QMStringRepresentations
