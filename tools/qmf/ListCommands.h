#pragma once

#include "ToolCommand.h"

#include <QMFoundation/lists/QMIndexSet.h>
#include <QMFoundation/lists/QMListChangeset.h>
#include <QMFoundation/lists/QMListItem.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <optional>

/// `qmf diff OLD NEW [--steps] [--json]`: the list comparator and the list manager on the lines
/// of two files, and the tour's "List diffing" section.
///
/// Each line is an item named by its text. The manager updates OLD's lines to NEW's; the output
/// is the changeset its comparator computed, one change description per line, or with --steps
/// each step the manager reported with the list after it. --json prints the same as one compact
/// JSON value. Files that cannot be read, are not UTF-8 or repeat a line end with status 1;
/// usage errors with status 2.
///
/// The command costs what its output costs: without --steps no step is recorded at all, and with
/// it each step is written out as the manager reports it, so memory stays at a few copies of the
/// two lists however many steps there are.
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
    /// The list after the step: the manager's working list itself, shared rather than copied, so
    /// it is valid during the step's handler only.
    QMListItemList list;
};

using ChangesHandler = std::function<void(const QMListChangeset &changeset)>;
using StepHandler = std::function<void(const Step &step)>;

/// Runs a list manager on the two lists of lines, which must each be free of repeats.
/// `onChanges` receives the changeset the manager's comparator computed, before any step;
/// `onStep`, when given, each step as the manager reports it. Without `onStep` the manager has no
/// delegate, so the steps cost nothing beyond applying them.
void diff(const QStringList &oldLines, const QStringList &newLines, const ChangesHandler &onChanges,
          const StepHandler &onStep = {});

/// Writes "delete 0 2-3 -> [b, c]", "insert 1 -> [b, x, c]" or "move 2 to 0 -> [c, b, x]" (no
/// line feed).
void writeStepLine(QTextStream &out, const Step &step);

/// `text` as a JSON string, quotes included, escaped as QJsonDocument escapes it: '"', '\\' and
/// the control characters below U+0020; everything else as it is.
QString jsonString(const QString &text);

/// Writes the changes as a compact JSON array (no line feed).
void writeChangesJson(QTextStream &out, const QMListChangeset &changeset);
/// Writes one step as a compact JSON object (no line feed).
void writeStepJson(QTextStream &out, const Step &step);

} // namespace ListCommands
