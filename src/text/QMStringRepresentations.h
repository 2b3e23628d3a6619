#pragma once

#include "QMFoundationCoreExport.h"

#include <QString>

namespace QMStringRepresentations {

/// "YES" or "NO".
QMF_CORE_EXPORT QString stringForBoolean(bool value);
QString stringForBoolean(const char *) = delete;
/// Signed decimal.
QMF_CORE_EXPORT QString stringForInteger(qint64 value);
/// Unsigned decimal.
QMF_CORE_EXPORT QString stringForUnsignedInteger(quint64 value);
/// Shortest decimal text that reads back as the same double ("0.1", "1.5", "3", "1e+100").
QMF_CORE_EXPORT QString stringForDouble(double value);
/// Shortest decimal text that reads back as the same float.
QMF_CORE_EXPORT QString stringForFloat(float value);

} // namespace QMStringRepresentations
