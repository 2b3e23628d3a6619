#pragma once

#include "ToolCommand.h"

#include "lists/QMIndexSet.h"
#include "lists/QMListChangeset.h"
#include "lists/QMListItem.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <optional>

/// `qmf diff OLD NEW [--steps] [--json]`: the list comparator and the list manager on the lines
/// of two files, and the tour's "List diffing" section.
///
/// Each line is an item named by its text. The manager updates OLD's lines to NEW's; the output
/// is the changeset its comparator computed, one change description per line, or with --steps
/// each step the manager reported with the list after it. --json prints the same as one compact
/// JSON value. Files that cannot be read, are not UTF-8 or repeat a line end with status 1;
/// usage errors with status 2.
namespace ListCommands {

QList<ToolCommand> commands();

/// The tour's "List diffing" section.
void tourSection(QTextStream &out);

/// The lines of `bytes`: split at "\n", one final "\r" of each line removed, no line after a
/// last "\n" (so empty input has none). Each line must be valid UTF-8 and differ from every
/// other line; otherwise std::nullopt, and `error` says which lines are at fault.
std::optional<QStringList> uniqueLines(const QByteArray &bytes, QString *error);

/// One step of a list update as the manager's delegate saw it.
struct Step
{
    enum class Kind { Delete, Insert, Move };
    Kind kind = Kind::Delete;
    QMIndexSet indexes; ///< delete: positions in the old list; insert: in the new list
    qint64 from = QMNotFound; ///< a move's source; QMNotFound for other steps
    qint64 to = QMNotFound; ///< a move's target; QMNotFound for other steps
    QStringList list; ///< the list after the step
};

/// What updating `oldLines` to `newLines` with a list manager gives.
struct Diff
{
    QMListChangeset changeset; ///< the one the manager's comparator computed
    QList<Step> steps; ///< the delegate calls, in order
};

/// Runs the list manager on the two lists of lines, which must each be free of repeats.
Diff diff(const QStringList &oldLines, const QStringList &newLines);

/// "delete 0 2-3 -> [b, c]", "insert 1 -> [b, x, c]" or "move 2 to 0 -> [c, b, x]".
QString stepLine(const Step &step);

/// The changes as a compact JSON array; with `steps`, the object {"changes": [...], "steps":
/// [...]}. No line feed at the end.
QByteArray json(const Diff &diff, bool steps);

} // namespace ListCommands
