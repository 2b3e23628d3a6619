#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QRegularExpression>
#include <QString>

namespace QMInitials {

/// Upper-case initials of a name: "Anna Maria Berg Lund" gives "AL", "Berg, Anna" gives "B".
/// Returns a null QString when the text has no letter, digit or space to take them from.
QMF_CORE_EXPORT QString initials(const QString &string);

/// The shared expression of letters, digits and white space that initials() keeps.
QMF_CORE_EXPORT const QRegularExpression &stripRegex();

} // namespace QMInitials
