#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace Titleize {

/// Splits camel case at lower-to-upper boundaries and capitalises every word:
/// "helloWorld" gives "Hello World", "XMLParser" gives "Xmlparser".
QMF_CORE_EXPORT QString titleize(const QString &string);

} // namespace Titleize
