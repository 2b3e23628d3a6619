#pragma once

#include "ToolCommand.h"

#include <QDateTime>
#include <QString>
#include <QTextStream>

#include <optional>

/// `qmf date words|format|parse`, and the tour's section on dates.
namespace DateCommands {

/// The "date" command with its sub-commands "words", "format" and "parse".
ToolCommand command();

/// The instant `text` names, measured from `now` where it is relative: "now", an offset such as
/// "-3h" or "+2d" (a sign, digits and one of s, m, h, d or w, each of fixed length), or a
/// timestamp in either fixed format. std::nullopt when it is none of these, or the offset leaves
/// QDateTime's range.
std::optional<QDateTime> instant(const QString &text, const QDateTime &now);

/// The tour's "Dates" section: timestamps read and written, and words for fixed offsets from a
/// fixed instant.
void tourSection(QTextStream &out);

} // namespace DateCommands
