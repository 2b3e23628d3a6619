#include "ListCommands.h"

#include "Tour.h"

#include <QMFoundation/lists/QMListComparator.h>
#include <QMFoundation/lists/QMListItem.h>
#include <QMFoundation/lists/QMListManager.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include <QHash>

#include <algorithm>
#include <utility>

namespace {

using ListCommands::Step;

// The list comparator, handing the changeset it computed to the tool before the manager applies
// it: the tool reports exactly the changes the manager applied, from one comparison.
class ReportingComparator final : public QMOrderedCollectionComparator
{
public:
    explicit ReportingComparator(const ListCommands::ChangesHandler &onChanges)
        : m_onChanges(onChanges)
    { }
    QMListChangeset compareList(const QMListItemList &oldItems,
                                const QMListItemList &newItems) const override
    {
        QMListChangeset changeset = m_comparator.compareList(oldItems, newItems);
        if (m_onChanges)
            m_onChanges(changeset);
        return changeset;
    }

private:
    QMListComparator m_comparator;
    const ListCommands::ChangesHandler &m_onChanges;
};

// Hands each step on as it comes, with the manager's own list: keeping a copy of the list per
// step would cost the number of steps times the length of the list.
class StepForwarder final : public QMListManagerDelegate
{
public:
    explicit StepForwarder(const ListCommands::StepHandler &onStep)
        : m_onStep(onStep)
    { }
    void listManagerDidDeleteItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        m_onStep({Step::Kind::Delete, indexes, QMNotFound, QMNotFound, list});
    }
    void listManagerDidInsertItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        m_onStep({Step::Kind::Insert, indexes, QMNotFound, QMNotFound, list});
    }
    void listManagerDidMoveItemAtIndex(qint64 fromIndex, qint64 toIndex,
                                       const QMListItemList &list) override
    {
        m_onStep({Step::Kind::Move, {}, fromIndex, toIndex, list});
    }

private:
    const ListCommands::StepHandler &m_onStep;
};

bool needsEscaping(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return u < 0x20 || u == u'"' || u == u'\\' || QChar::isSurrogate(u);
    });
}

QString escapedJsonString(const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    QString escaped;
    escaped.reserve(text.size() + 8);
    escaped.append(u'"');
    const auto unicodeEscape = [&](char16_t u) {
        escaped.append(u"\\u");
        for (int shift = 12; shift >= 0; shift -= 4)
            escaped.append(QLatin1Char(hex[(u >> shift) & 0xf]));
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        switch (u) {
        case u'"':
            escaped.append(u"\\\"");
            break;
        case u'\\':
            escaped.append(u"\\\\");
            break;
        case u'\b':
            escaped.append(u"\\b");
            break;
        case u'\f':
            escaped.append(u"\\f");
            break;
        case u'\n':
            escaped.append(u"\\n");
            break;
        case u'\r':
            escaped.append(u"\\r");
            break;
        case u'\t':
            escaped.append(u"\\t");
            break;
        default:
            if (u < 0x20) {
                unicodeEscape(u);
            } else if (QChar::isHighSurrogate(u) && i + 1 < text.size()
                       && text.at(i + 1).isLowSurrogate()) {
                escaped.append(text.at(i));
                escaped.append(text.at(++i));
            } else if (QChar::isSurrogate(u)) {
                // Half a pair has no UTF-8 form.
                unicodeEscape(u);
            } else {
                escaped.append(QChar(u));
            }
        }
    }
    escaped.append(u'"');
    return escaped;
}

void writeJsonString(QTextStream &out, const QString &text)
{
    if (needsEscaping(text))
        out << escapedJsonString(text);
    else
        out << '"' << text << '"';
}

void writeJsonPosition(QTextStream &out, qint64 position)
{
    if (position == QMNotFound)
        out << "null";
    else
        out << position;
}

// Written by hand rather than through QJsonObject, which would sort the keys: their order is
// part of the output format.
void writeChangeJson(QTextStream &out, const QMListChange &change)
{
    out << "{\"type\":";
    writeJsonString(out, QMListChange::labelForType(change.type()));
    out << ",\"item\":";
    writeJsonString(out, change.item()->description());
    out << ",\"index\":";
    writeJsonPosition(out, change.index());
    out << ",\"oldIndex\":";
    writeJsonPosition(out, change.oldIndex());
    out << '}';
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

    // Everything is written as the manager produces it: with --steps, each step goes out before
    // the next one is made.
    const bool steps = invocation.has(stepsOption);
    const bool json = invocation.has(jsonOption);
    QTextStream &out = invocation.out;
    ListCommands::ChangesHandler onChanges;
    ListCommands::StepHandler onStep;
    bool firstStep = true;
    if (json && steps) {
        onChanges = [&](const QMListChangeset &changeset) {
            out << "{\"changes\":";
            ListCommands::writeChangesJson(out, changeset);
            out << ",\"steps\":[";
        };
        onStep = [&](const Step &step) {
            if (!std::exchange(firstStep, false))
                out << ',';
            ListCommands::writeStepJson(out, step);
        };
    } else if (json) {
        onChanges = [&](const QMListChangeset &changeset) {
            ListCommands::writeChangesJson(out, changeset);
        };
    } else if (steps) {
        onStep = [&](const Step &step) {
            ListCommands::writeStepLine(out, step);
            out << '\n';
        };
    } else {
        onChanges = [&](const QMListChangeset &changeset) {
            for (const QMListChangePointer &change : changeset.changes())
                out << change->description() << '\n';
        };
    }
    ListCommands::diff(lists.at(0), lists.at(1), onChanges, onStep);
    if (json && steps)
        out << "]}";
    if (json)
        out << '\n';
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

void ListCommands::diff(const QStringList &oldLines, const QStringList &newLines,
                        const ChangesHandler &onChanges, const StepHandler &onStep)
{
    QMListManager manager;
    manager.setComparator(std::make_shared<ReportingComparator>(onChanges));
    const auto forwarder = onStep ? std::make_shared<StepForwarder>(onStep) : nullptr;
    manager.setDelegate(forwarder);
    manager.updateList(QMTextListItem::itemsWithTexts(oldLines),
                       QMTextListItem::itemsWithTexts(newLines));
}

void ListCommands::writeStepLine(QTextStream &out, const Step &step)
{
    switch (step.kind) {
    case Step::Kind::Delete:
        out << "delete " << step.indexes.description();
        break;
    case Step::Kind::Insert:
        out << "insert " << step.indexes.description();
        break;
    case Step::Kind::Move:
        out << "move " << step.from << " to " << step.to;
        break;
    }
    out << " -> [";
    for (qsizetype i = 0; i < step.list.size(); ++i) {
        if (i > 0)
            out << ", ";
        out << step.list[i]->identifier();
    }
    out << ']';
}

QString ListCommands::jsonString(const QString &text)
{
    return needsEscaping(text) ? escapedJsonString(text) : u'"' + text + u'"';
}

void ListCommands::writeChangesJson(QTextStream &out, const QMListChangeset &changeset)
{
    out << '[';
    bool first = true;
    for (const QMListChangePointer &change : changeset.changes()) {
        if (!std::exchange(first, false))
            out << ',';
        writeChangeJson(out, *change);
    }
    out << ']';
}

void ListCommands::writeStepJson(QTextStream &out, const Step &step)
{
    static const char *const names[] = {"delete", "insert", "move"};
    out << "{\"step\":\"" << names[int(step.kind)] << "\",\"indexes\":";
    if (step.kind == Step::Kind::Move) {
        out << "null";
    } else {
        out << '[';
        bool first = true;
        for (quint64 index : step.indexes) {
            if (!std::exchange(first, false))
                out << ',';
            out << index;
        }
        out << ']';
    }
    out << ",\"from\":";
    writeJsonPosition(out, step.from);
    out << ",\"to\":";
    writeJsonPosition(out, step.to);
    out << ",\"list\":[";
    for (qsizetype i = 0; i < step.list.size(); ++i) {
        if (i > 0)
            out << ',';
        writeJsonString(out, step.list[i]->identifier());
    }
    out << "]}";
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
    QStringList changes;
    QStringList steps;
    diff(
            lists.at(0), lists.at(1),
            [&](const QMListChangeset &changeset) {
                for (const QMListChangePointer &change : changeset.changes())
                    changes.append(change->description());
            },
            [&](const Step &step) {
                QString line;
                QTextStream stream(&line);
                writeStepLine(stream, step);
                stream.flush();
                steps.append(line);
            });

    out << "Two versions of a task list, one task per line, each line an item named by its\n"
           "text. The list manager turns the first into the second; the changeset its\n"
           "comparator computed lists the deletes, then the inserts, then the moves:\n\n";
    for (qsizetype i = 0; i < lists.size(); ++i)
        out << "    " << names[i].leftJustified(18) << " ["
            << lists.at(i).join(QStringLiteral(", ")) << "]\n";
    out << "\n  $ qmf diff " << names[0] << " " << names[1] << "\n";
    for (const QString &change : std::as_const(changes))
        out << "    " << change << "\n";
    out << "\nApplied in that order (deletes at once, inserts at once, then each move; a move's\n"
           "positions count in the list as it stands), the steps a list view would animate:\n"
        << "\n  $ qmf diff --steps " << names[0] << " " << names[1] << "\n";
    for (const QString &step : std::as_const(steps))
        out << "    " << step << "\n";
}
