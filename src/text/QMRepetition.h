#pragma once

#include "QMFoundationCoreExport.h"

#include <QString>

namespace QMRepetition {

/// The text concatenated `times` times; 0 gives an empty text.
QMF_CORE_EXPORT QString stringByRepeatingStringNumberOfTimes(const QString &string, quint64 times);

} // namespace QMRepetition
