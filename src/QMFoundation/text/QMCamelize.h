#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace QMCamelize {

/// The text with its first character upper-cased and the rest unchanged.
QMF_CORE_EXPORT QString camelizedString(const QString &string);

} // namespace QMCamelize
