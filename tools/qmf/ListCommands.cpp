#include "ListCommands.h"

#include "Tour.h"

#include "lists/QMListComparator.h"
#include "lists/QMListItem.h"
#include "lists/QMListManager.h"
#include "text/QMStringDecoding.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

using ListCommands::Step;

// The list comparator, keeping the changeset it hands the manager: the tool reports exactly the
// changes the manager applied, from one comparison.
class RecordingComparator final : public QMOrderedCollectionComparator
{
public:
    QMListChangeset compareList(const QMListItemList &oldItems,
                                const QMListItemList &newItems) const override
    {
        m_changeset = m_comparator.compareList(oldItems, newItems);
        return m_changeset;
    }
    const QMListChangeset &changeset() const { return m_changeset; }

private:
    QMListComparator m_comparator;
    // The interface's compareList() is const; keeping its result is this wrapper's whole point.
    mutable QMListChangeset m_changeset;
};

QStringList texts(const QMListItemList &items)
{
    QStringList texts;
    texts.reserve(items.size());
    for (const QMListItemPointer &item : items)
        texts.append(item->identifier());
    return texts;
}

class StepRecorder final : public QMListManagerDelegate
{
public:
    void listManagerDidDeleteItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        steps.append({Step::Kind::Delete, indexes, QMNotFound, QMNotFound, texts(list)});
    }
    void listManagerDidInsertItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        steps.append({Step::Kind::Insert, indexes, QMNotFound, QMNotFound, texts(list)});
    }
    void listManagerDidMoveItemAtIndex(qint64 fromIndex, qint64 toIndex,
                                       const QMListItemList &list) override
    {
        steps.append({Step::Kind::Move, {}, fromIndex, toIndex, texts(list)});
    }

    QList<Step> steps;
};

QByteArray jsonString(const QString &text)
{
    // QJsonDocument writes values only inside an array or an object; it does the escaping.
    const QByteArray array = QJsonDocument(QJsonArray {text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray jsonPosition(qint64 position)
{
    return position == QMNotFound ? QByteArrayLiteral("null") : QByteArray::number(position);
}

QByteArray jsonList(const QList<QByteArray> &values)
{
    return '[' + values.join(',') + ']';
}

// Written by hand rather than through QJsonObject, which would sort the keys: their order is
// part of the output format.
QByteArray changeJson(const QMListChange &change)
{
    return "{\"type\":" + jsonString(QMListChange::labelForType(change.type()))
            + ",\"item\":" + jsonString(change.item()->description())
            + ",\"index\":" + jsonPosition(change.index())
            + ",\"oldIndex\":" + jsonPosition(change.oldIndex()) + '}';
}

QByteArray stepJson(const Step &step)
{
    static const char *const names[] = {"delete", "insert", "move"};
    QByteArray indexes = QByteArrayLiteral("null");
    if (step.kind != Step::Kind::Move) {
        QList<QByteArray> positions;
        for (quint64 index : step.indexes)
            positions.append(QByteArray::number(index));
        indexes = jsonList(positions);
    }
    QList<QByteArray> list;
    for (const QString &text : step.list)
        list.append(jsonString(text));
    return "{\"step\":\"" + QByteArray(names[int(step.kind)]) + "\",\"indexes\":" + indexes
            + ",\"from\":" + jsonPosition(step.from) + ",\"to\":" + jsonPosition(step.to)
            + ",\"list\":" + jsonList(list) + '}';
}

bool isStandardInput(const QString &path)
{
    return path == QLatin1String("-");
}

int runDiff(Invocation &invocation, const QMOptionPtr &stepsOption, const QMOptionPtr &jsonOption)
{
    const QStringList &arguments = invocation.arguments();
    if (arguments.size() != 2)
        return invocation.usageError(QStringLiteral(
                "diff takes two files, OLD and NEW (\"-\", after \"--\", for the standard input)"));
    if (isStandardInput(arguments.at(0)) && isStandardInput(arguments.at(1)))
        return invocation.usageError(
                QStringLiteral("diff can read only one of OLD and NEW from the standard input"));

    QList<QStringList> lists;
    for (const QString &path : arguments) {
        const std::optional<QByteArray> bytes = invocation.readInput(path);
        if (!bytes)
            return 1;
        QString error;
        const std::optional<QStringList> lines = ListCommands::uniqueLines(*bytes, &error);
        if (!lines) {
            // Worded as readInput() words a file it cannot read.
            invocation.usageError(QStringLiteral("%1: %2").arg(
                    isStandardInput(path) ? QStringLiteral("standard input") : path, error));
            return 1;
        }
        lists.append(*lines);
    }

    const ListCommands::Diff diff = ListCommands::diff(lists.at(0), lists.at(1));
    const bool steps = invocation.has(stepsOption);
    if (invocation.has(jsonOption)) {
        invocation.out << QString::fromUtf8(ListCommands::json(diff, steps)) << '\n';
    } else if (steps) {
        for (const Step &step : diff.steps)
            invocation.out << ListCommands::stepLine(step) << '\n';
    } else {
        for (const QMListChangePointer &change : diff.changeset.changes())
            invocation.out << change->description() << '\n';
    }
    return 0;
}

} // namespace

std::optional<QStringList> ListCommands::uniqueLines(const QByteArray &bytes, QString *error)
{
    QList<QByteArray> pieces = bytes.split('\n');
    if (pieces.last().isEmpty())
        pieces.removeLast();
    QStringList lines;
    lines.reserve(pieces.size());
    QHash<QString, qsizetype> lineNumbers;
    lineNumbers.reserve(pieces.size());
    for (QByteArray &piece : pieces) {
        if (piece.endsWith('\r'))
            piece.chop(1);
        // "\n" never occurs inside a UTF-8 sequence, so each line decodes on its own, and a
        // fault can be given its line.
        const QString line = QMStringDecoding::stringUsingUTF8Encoding(piece);
        const qsizetype number = lines.size() + 1;
        if (line.isNull()) {
            *error = QStringLiteral("line %1 is not valid UTF-8").arg(number);
            return std::nullopt;
        }
        if (const auto first = lineNumbers.constFind(line); first != lineNumbers.cend()) {
            *error = QStringLiteral("lines %1 and %2 are both \"%3\"; diff needs every line of a "
                                    "file to be different")
                             .arg(QString::number(*first), QString::number(number), line);
            return std::nullopt;
        }
        lineNumbers.insert(line, number);
        lines.append(line);
    }
    return lines;
}

ListCommands::Diff ListCommands::diff(const QStringList &oldLines, const QStringList &newLines)
{
    const auto comparator = std::make_shared<RecordingComparator>();
    const auto recorder = std::make_shared<StepRecorder>();
    QMListManager manager;
    manager.setComparator(comparator);
    manager.setDelegate(recorder);
    manager.updateList(QMTextListItem::itemsWithTexts(oldLines),
                       QMTextListItem::itemsWithTexts(newLines));
    return {comparator->changeset(), recorder->steps};
}

QString ListCommands::stepLine(const Step &step)
{
    const QString list = u'[' + step.list.join(QStringLiteral(", ")) + u']';
    switch (step.kind) {
    case Step::Kind::Delete:
        return QStringLiteral("delete ") + step.indexes.description() + QStringLiteral(" -> ")
                + list;
    case Step::Kind::Insert:
        return QStringLiteral("insert ") + step.indexes.description() + QStringLiteral(" -> ")
                + list;
    case Step::Kind::Move:
        return QStringLiteral("move %1 to %2 -> ").arg(step.from).arg(step.to) + list;
    }
    return QString();
}

QByteArray ListCommands::json(const Diff &diff, bool steps)
{
    QList<QByteArray> changes;
    for (const QMListChangePointer &change : diff.changeset.changes())
        changes.append(changeJson(*change));
    if (!steps)
        return jsonList(changes);
    QList<QByteArray> stepObjects;
    for (const Step &step : diff.steps)
        stepObjects.append(stepJson(step));
    return "{\"changes\":" + jsonList(changes) + ",\"steps\":" + jsonList(stepObjects) + '}';
}

QList<ToolCommand> ListCommands::commands()
{
    const QMOptionPtr steps = QMOption::optionWithFlag(
            QString(), QStringLiteral("steps"),
            QStringLiteral("Print each step of the update with the list after it"), QString(),
            QMOptionTypeNone, false);
    const QMOptionPtr json = QMOption::optionWithFlag(
            QString(), QStringLiteral("json"),
            QStringLiteral("Print the changes (with --steps, the changes and the steps) as JSON"),
            QString(), QMOptionTypeNone, false);
    return {ToolCommand::make(
            QStringLiteral("diff"), {steps, json}, {QStringLiteral("OLD"), QStringLiteral("NEW")},
            QStringLiteral("Compare two lists of unique lines: diff OLD NEW [--steps] [--json]"),
            [=](Invocation &invocation) { return runDiff(invocation, steps, json); })};
}

void ListCommands::tourSection(QTextStream &out)
{
    const QString names[]
            = {QStringLiteral("tasks-monday.txt"), QStringLiteral("tasks-tuesday.txt")};
    QList<QStringList> lists;
    for (const QString &name : names) {
        QString error;
        const std::optional<QStringList> lines = uniqueLines(Tour::resource(name).toUtf8(), &error);
        if (!lines) {
            out << "The bundled " << name << " did not load: " << error << "\n";
            return;
        }
        lists.append(*lines);
    }
    const Diff result = diff(lists.at(0), lists.at(1));

    out << "Two versions of a task list, one task per line, each line an item named by its\n"
           "text. The list manager turns the first into the second; the changeset its\n"
           "comparator computed lists the deletes, then the inserts, then the moves:\n\n";
    for (qsizetype i = 0; i < lists.size(); ++i)
        out << "    " << names[i].leftJustified(18) << " ["
            << lists.at(i).join(QStringLiteral(", ")) << "]\n";
    out << "\n  $ qmf diff " << names[0] << " " << names[1] << "\n";
    for (const QMListChangePointer &change : result.changeset.changes())
        out << "    " << change->description() << "\n";
    out << "\nApplied in that order (deletes at once, inserts at once, then each move; a move's\n"
           "positions count in the list as it stands), the steps a list view would animate:\n"
        << "\n  $ qmf diff --steps " << names[0] << " " << names[1] << "\n";
    for (const Step &step : result.steps)
        out << "    " << stepLine(step) << "\n";
}
