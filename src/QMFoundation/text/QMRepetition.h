#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace QMRepetition {

/// The text concatenated `times` times; 0 times or an empty text give an empty (not null) text.
/// Throws QMInternalInconsistencyException when the result could not be held by a QString.
QMF_CORE_EXPORT QString stringByRepeatingStringNumberOfTimes(const QString &string, quint64 times);

} // namespace QMRepetition
