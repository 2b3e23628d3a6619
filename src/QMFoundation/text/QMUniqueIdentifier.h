#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace QMUniqueIdentifier {

/// A new random (version 4) UUID as 36 upper-case characters,
/// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
QMF_CORE_EXPORT QString UUID();

} // namespace QMUniqueIdentifier
