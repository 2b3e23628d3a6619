#include "TreeCommands.h"

#include "Tour.h"
#include "TreeReader.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QFile>

#include <algorithm>

namespace {

const QString rootName = QStringLiteral("(root)");

QString parentName(const QMTreeNodePointer &parent)
{
    return parent ? parent->identifier() : rootName;
}

// Writes each callback of one merge as a line, in the order the manager makes them.
class CallbackRecorder final : public QMTreeManagerDelegate
{
public:
    void treeManagerDidUpdateItems(QMTreeManager &, const QMTreeNodeList &nodes) override
    {
        QStringList identifiers;
        identifiers.reserve(nodes.size());
        for (const QMTreeNodePointer &node : nodes)
            identifiers.append(node->identifier());
        lines.append(QStringLiteral("updated [%1]").arg(identifiers.join(QStringLiteral(", "))));
    }
    void treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        addStep("will delete", indexes, parent);
    }
    void treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        addStep("did delete", indexes, parent);
    }
    void treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        addStep("will insert", indexes, parent);
    }
    void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        addStep("did insert", indexes, parent);
    }
    void treeManagerWillMoveItemAtIndex(QMTreeManager &, qint64 fromIndex,
                                        const QMTreeNodePointer &, qint64 toIndex,
                                        const QMTreeNodePointer &toParent) override
    {
        addMove("will move", fromIndex, toIndex, toParent);
    }
    void treeManagerDidMoveItemAtIndex(QMTreeManager &, qint64 fromIndex, const QMTreeNodePointer &,
                                       qint64 toIndex, const QMTreeNodePointer &toParent) override
    {
        addMove("did move", fromIndex, toIndex, toParent);
    }

    QStringList lines;

private:
    // A move never leaves its child list, so the one parent names both ends.
    void addMove(const char *what, qint64 fromIndex, qint64 toIndex,
                 const QMTreeNodePointer &parent)
    {
        lines.append(QStringLiteral("%1 %2 -> %3 in %4")
                             .arg(QLatin1String(what), QString::number(fromIndex),
                                  QString::number(toIndex), parentName(parent)));
    }
    void addStep(const char *what, const QMIndexSet &indexes, const QMTreeNodePointer &parent)
    {
        lines.append(QStringLiteral("%1 {%2} in %3")
                             .arg(QLatin1String(what), indexes.description(), parentName(parent)));
    }
};

// Calls `line` with the indent and the node for each node, depth first. One indent text per
// level, not per node.
template<typename Line>
void forEachTreeLine(const QMTreeNodeList &nodes, const QString &indent, const Line &line)
{
    const QString deeper = indent + QStringLiteral("  ");
    for (const QMTreeNodePointer &node : nodes) {
        line(indent, *node);
        forEachTreeLine(node->mutableChildNodes(), deeper, line);
    }
}

int fail(Invocation &invocation, int status, const QString &message)
{
    invocation.err << "qmf tree: " << message << Qt::endl;
    return status;
}

// The root list of the file at `path`, or std::nullopt after printing why not.
std::optional<QMTreeNodeList> readTree(Invocation &invocation, const QString &path)
{
    QFile file(path);
    std::optional<QByteArray> bytes;
    QString reason;
    if (file.open(QIODevice::ReadOnly))
        bytes = readAllOf(file, Invocation::MaximumInputSize, &reason);
    else
        reason = file.errorString();
    if (!bytes) {
        fail(invocation, 1, QStringLiteral("%1: %2").arg(path, reason));
        return std::nullopt;
    }
    QString error;
    std::optional<QMTreeNodeList> nodes = TreeReader::nodesFromJson(*bytes, &error);
    if (!nodes)
        fail(invocation, 1, QStringLiteral("%1: %2").arg(path, error));
    return nodes;
}

int runTree(Invocation &invocation, const QMOptionPtr &incremental, const QMOptionPtr &sort,
            const QMOptionPtr &filter)
{
    const QStringList &arguments = invocation.arguments();
    if (arguments.size() != 2)
        return fail(invocation, 2, QStringLiteral("expected two files, OLD.json and NEW.json"));
    TreeCommands::Options options;
    options.incremental = invocation.has(incremental);
    // A value option given last without its value comes with an invalid value.
    if (invocation.has(sort)) {
        const QVariant key = invocation.value(sort);
        if (!key.isValid())
            return fail(invocation, 2,
                        QStringLiteral("--sort needs a KEY; the accepted key is title"));
        if (key.toString() != QLatin1String("title"))
            return fail(invocation, 2,
                        QStringLiteral("cannot sort by \"%1\"; the accepted key is title")
                                .arg(key.toString()));
        options.sortByTitle = true;
    }
    if (invocation.has(filter)) {
        const QVariant text = invocation.value(filter);
        if (!text.isValid())
            return fail(invocation, 2, QStringLiteral("--filter needs a TEXT"));
        // An empty text is a filter that every leaf passes, not "no filter".
        options.filter = text.toString().isNull() ? QStringLiteral("") : text.toString();
    }

    std::optional<QMTreeNodeList> oldRoots = readTree(invocation, arguments.at(0));
    if (!oldRoots)
        return 1;
    const std::optional<QMTreeNodeList> newRoots = readTree(invocation, arguments.at(1));
    if (!newRoots)
        return 1;
    std::unique_ptr<QMTreeManager> manager;
    QStringList callbacks;
    try {
        manager = TreeCommands::manager(*oldRoots, options);
        // The manager alone owns the old tree now, so the nodes its filter hides are gone, as in
        // an application that hands its tree over.
        oldRoots.reset();
        callbacks = TreeCommands::merge(*manager, *newRoots);
    } catch (const QMInternalInconsistencyException &e) {
        // The reader hands over trees the manager accepts; this is a fault of the library.
        return fail(invocation, 1, QStringLiteral("the merge failed: %1").arg(e.reason()));
    }
    for (const QString &line : std::as_const(callbacks))
        invocation.out << line << '\n';
    // Written as it is walked: the tree's text is kept nowhere.
    forEachTreeLine(manager->rootNodes(), QString(),
                    [&](const QString &indent, const QMTreeNode &node) {
                        invocation.out << indent << TreeCommands::displayText(node) << '\n';
                    });
    return 0;
}

// A manager over the bundled old outline and the new outline's roots, both freshly read: each
// demonstration needs its own, since a merge takes the new nodes into the tree.
struct OutlineMerge
{
    std::unique_ptr<QMTreeManager> manager;
    QMTreeNodeList newRoots;
};

std::optional<OutlineMerge> outlineMerge(QTextStream &out, const TreeCommands::Options &options)
{
    QList<QMTreeNodeList> trees;
    for (const char *name : {"outline-old.json", "outline-new.json"}) {
        QString error;
        const std::optional<QMTreeNodeList> nodes = TreeReader::nodesFromJson(
                Tour::resource(QString::fromLatin1(name)).toUtf8(), &error);
        if (!nodes) {
            out << "The bundled " << name << " did not load: " << error << "\n";
            return std::nullopt;
        }
        trees.append(*nodes);
    }
    return OutlineMerge {TreeCommands::manager(trees.takeFirst(), options), trees.first()};
}

void printLines(QTextStream &out, const QStringList &lines)
{
    for (const QString &line : lines)
        out << "    " << line << "\n";
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

} // namespace

QString TreeCommands::displayText(const QMTreeNode &node)
{
    return node.title().isNull() ? node.identifier() : node.title();
}

QMTreeNodePredicate TreeCommands::titleFilter(const QString &text)
{
    return [text](const QMTreeNode &node) {
        return displayText(node).contains(text, Qt::CaseInsensitive);
    };
}

bool TreeCommands::updateTitle(const QMTreeNodePointer &existingNode,
                               const QMTreeNodePointer &newNode)
{
    // Qt's == takes a null title for an empty one; here "no title" and "" differ.
    const QString &title = newNode->title();
    if (existingNode->title() == title && existingNode->title().isNull() == title.isNull())
        return false;
    existingNode->setTitle(title);
    return true;
}

std::unique_ptr<QMTreeManager> TreeCommands::manager(const QMTreeNodeList &oldRoots,
                                                     const Options &options)
{
    auto manager = QMTreeManager::treeManagerWithRootNodes(oldRoots);
    manager->setUsesIncrementalUpdates(options.incremental);
    if (options.sortByTitle)
        manager->setSortDescriptors({QMSortDescriptor(QStringLiteral("title"))});
    if (!options.filter.isNull())
        manager->setFilterPredicate(titleFilter(options.filter));
    manager->setUpdateHandler(updateTitle);
    return manager;
}

QStringList TreeCommands::merge(QMTreeManager &manager, const QMTreeNodeList &newRoots)
{
    if (!manager.usesIncrementalUpdates()) {
        manager.updateRootNodesWithNodes(newRoots);
        return {};
    }
    const auto recorder = std::make_shared<CallbackRecorder>();
    manager.setDelegate(recorder);
    // The delegate is this merge's alone, also when the merge throws.
    struct Detach
    {
        QMTreeManager &manager;
        ~Detach() { manager.setDelegate(nullptr); }
    } detach {manager};
    manager.updateRootNodesWithNodes(newRoots);
    return recorder->lines;
}

QStringList TreeCommands::treeLines(const QMTreeNodeList &roots)
{
    QStringList lines;
    forEachTreeLine(roots, QString(), [&](const QString &indent, const QMTreeNode &node) {
        lines.append(indent + displayText(node));
    });
    return lines;
}

QList<ToolCommand> TreeCommands::commands()
{
    const QMOptionPtr incremental = QMOption::optionWithFlag(
            QString(), QStringLiteral("incremental"),
            QStringLiteral("Merge step by step and print each delegate callback first"), QString(),
            QMOptionTypeNone, false);
    const QMOptionPtr sort = QMOption::optionWithFlag(
            QString(), QStringLiteral("sort"),
            QStringLiteral("Sort every child list by the key (only title)"), QStringLiteral("KEY"),
            QMOptionTypeString, false);
    const QMOptionPtr filter = QMOption::optionWithFlag(
            QString(), QStringLiteral("filter"),
            QStringLiteral("Keep the leaves whose title contains TEXT, ignoring case"),
            QStringLiteral("TEXT"), QMOptionTypeString, false);
    return {ToolCommand::make(
            QStringLiteral("tree"), {incremental, sort, filter},
            {QStringLiteral("OLD.json"), QStringLiteral("NEW.json")},
            QStringLiteral(
                    "Merge a new tree into an old one and print it: tree OLD.json NEW.json\n\n"
                    "Usage: qmf tree OLD.json NEW.json [--incremental] [--sort title] "
                    "[--filter TEXT]\n\n"
                    "Merges the tree in NEW.json into the tree in OLD.json, keeping the "
                    "nodes of OLD\n"
                    "whose identifiers NEW names, and prints the merged tree: one title "
                    "a line,\n"
                    "indented by two spaces a level. A file holds a node {\"id\", "
                    "\"title\", \"children\"}\n"
                    "or an array of them."),
            [=](Invocation &invocation) {
                return runTree(invocation, incremental, sort, filter);
            })};
}

void TreeCommands::tourSection(QTextStream &out)
{
    const QString files = QStringLiteral("outline-old.json outline-new.json");
    std::optional<OutlineMerge> merged = outlineMerge(out, {});
    if (!merged)
        return;
    out << "Two versions of an outline of notes and tasks. In the new one a note is gone,\n"
           "one is retitled, one is new, a note and a task have changed parents and two\n"
           "projects have swapped places. The tree manager merges the new version into the\n"
           "old one, matching nodes by identifier anywhere in the tree:\n"
        << "\n  $ qmf tree " << files << "\n";
    QMTreeManager *manager = merged->manager.get();
    const QMTreeNodePointer moved = manager->nodeForIdentifier(QStringLiteral("n1"));
    const QMTreeNodePointer retitled = manager->nodeForIdentifier(QStringLiteral("n3"));
    merge(*manager, merged->newRoots);
    printLines(out, treeLines(manager->rootNodes()));
    out << "\nThe old instances stay, so a view keeps their state: the note now in Archive\n"
           "is the old node: "
        << yesNo(manager->nodeForIdentifier(QStringLiteral("n1")) == moved)
        << "; the retitled one too: "
        << yesNo(manager->nodeForIdentifier(QStringLiteral("n3")) == retitled) << ".\n";

    if (!(merged = outlineMerge(out, {true, false, QString()})))
        return;
    out << "\nIn incremental mode each child list, deepest first, changes between a\n"
           "delegate's will/did callbacks, for an outline view to animate; a node bound for\n"
           "another list leaves its old one first (t2 leaves web before app takes it in):\n"
        << "\n  $ qmf tree --incremental " << files << "\n";
    const QStringList callbacks = merge(*merged->manager, merged->newRoots);
    constexpr qsizetype shownCallbacks = 10;
    printLines(out, callbacks.first(std::min(shownCallbacks, callbacks.size())));
    if (callbacks.size() > shownCallbacks)
        out << "    ...\n";

    const QString text = QStringLiteral("invoice");
    if (!(merged = outlineMerge(out, {false, true, text})))
        return;
    manager = merged->manager.get();
    out << "\nSorting applies to every level. A filter tests the leaves; a parent stays while\n"
           "it has children:\n"
        << "\n  $ qmf tree --sort title --filter " << text << " " << files << "\n";
    merge(*manager, merged->newRoots);
    const QStringList filtered = treeLines(manager->rootNodes());
    printLines(out, filtered);
    const QMTreeNodePointer shown = manager->nodeForIdentifier(QStringLiteral("n4"));
    manager->setFilterPredicate({});
    out << "\nRemoving the filter brings back the "
        << treeLines(manager->rootNodes()).size() - filtered.size()
        << " nodes it hid from the copy the manager\nkept; the shown ones stay the same instances: "
        << yesNo(manager->nodeForIdentifier(QStringLiteral("n4")) == shown) << ".\n";
}
