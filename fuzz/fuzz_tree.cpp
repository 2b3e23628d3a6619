// Fuzzes the JSON tree reader behind `qmf tree` (TreeReader::nodesFromJson) and the tree manager's
// incremental merge of one read tree into another.
//
// The input is OLD, a NUL byte and NEW (without a NUL, both are the whole input). Each half goes
// to the reader; a rejected half must give a one-line error, a read one must write back to JSON
// and read again to the same tree. When both read, a manager over OLD in incremental mode gets a
// sorting by title and a filter ("title or identifier contains a letter, ignoring case") as a hash
// of the input decides, merges NEW with an update handler that takes over titles, and must then
// hold:
// - exactly the tree that NEW is after filtering and a stable sort, made here from NEW alone,
//   with the new titles;
// - every node once; each non-root node's parent link names the node that lists it;
//   nodeForIdentifier() finds each node;
// - the nodes the tree showed before the merge under identifiers that NEW keeps are the same
//   instances;
// - the delegate's will/did calls come in adjacent pairs with equal arguments, and name
//   positions inside the child list they change.
// With a filter, removing it again must bring back NEW whole (sorted), under the same invariants.

#include "TreeReader.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/tree/QMTreeManager.h>

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QByteArray currentInput;

#define CHECK(condition) checkThat((condition), #condition, __LINE__)

void checkThat(bool condition, const char *text, int line)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_tree.cpp:%d: invariant broken: %s\ninput: %s\n", line, text,
                 currentInput.toPercentEncoding("{}[]\":,").constData());
    std::abort();
}

// A tree as plain values, to compare the manager's tree with what it must be.
struct Shape
{
    QString identifier;
    QString title;
    QList<Shape> children;
    friend bool operator==(const Shape &a, const Shape &b)
    {
        return a.identifier == b.identifier && a.title == b.title
                && a.title.isNull() == b.title.isNull() && a.children == b.children;
    }
};

QList<Shape> shapes(const QMTreeNodeList &nodes)
{
    QList<Shape> result;
    for (const QMTreeNodePointer &node : nodes)
        result.append({node->identifier(), node->title(), shapes(node->childNodes())});
    return result;
}

QJsonArray json(const QMTreeNodeList &nodes)
{
    QJsonArray array;
    for (const QMTreeNodePointer &node : nodes) {
        QJsonObject object {{QStringLiteral("id"), node->identifier()}};
        if (!node->title().isNull())
            object.insert(QStringLiteral("title"), node->title());
        if (!node->isLeaf())
            object.insert(QStringLiteral("children"), json(node->childNodes()));
        array.append(object);
    }
    return array;
}

struct Settings
{
    bool sortByTitle = false;
    QString filter; // null: none
};

QString displayText(const QString &identifier, const QString &title)
{
    return title.isNull() ? identifier : title;
}

// What a merge of `tree` must leave, from the definitions rather than the manager: leaves that
// fail the filter go (bottom up, so a parent left without children is tested itself), and each
// list is sorted stably by title, a missing title first, texts by code units.
QList<Shape> expected(const QList<Shape> &tree, const Settings &settings)
{
    QList<Shape> result;
    for (const Shape &shape : tree) {
        Shape kept {shape.identifier, shape.title, expected(shape.children, settings)};
        if (!settings.filter.isNull() && kept.children.isEmpty()
            && !displayText(kept.identifier, kept.title)
                        .contains(settings.filter, Qt::CaseInsensitive))
            continue;
        result.append(kept);
    }
    if (settings.sortByTitle) {
        std::stable_sort(result.begin(), result.end(), [](const Shape &a, const Shape &b) {
            if (a.title.isNull() || b.title.isNull())
                return a.title.isNull() && !b.title.isNull();
            return a.title < b.title;
        });
    }
    return result;
}

// Every node of the tree once, parent links that agree with the child lists, and the manager's
// index finding each node. Returns the nodes by identifier.
QHash<QString, QMTreeNode *> checkTree(const QMTreeManager &manager)
{
    QHash<QString, QMTreeNode *> nodes;
    QSet<const QMTreeNode *> seen;
    const auto walk = [&](const auto &self, const QMTreeNodeList &list,
                          const QMTreeNodePointer &parent) -> void {
        for (const QMTreeNodePointer &node : list) {
            CHECK(node != nullptr);
            CHECK(!seen.contains(node.get()));
            seen.insert(node.get());
            nodes.insert(node->identifier(), node.get());
            if (parent)
                CHECK(node->parentNode() == parent);
            CHECK(manager.nodeForIdentifier(node->identifier()) == node);
            self(self, node->childNodes(), node);
        }
    };
    walk(walk, manager.rootNodes(), nullptr);
    return nodes;
}

class CheckingDelegate final : public QMTreeManagerDelegate
{
public:
    void treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &manager, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        will(Call::Delete, indexes.description(), parent);
        CHECK(!indexes.isEmpty() && qint64(indexes.lastIndex()) < count(manager, parent));
    }
    void treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        did(Call::Delete, indexes.description(), parent);
    }
    void treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        will(Call::Insert, indexes.description(), parent);
        CHECK(!indexes.isEmpty());
    }
    void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &manager, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        did(Call::Insert, indexes.description(), parent);
        CHECK(qint64(indexes.lastIndex()) < count(manager, parent));
    }
    void treeManagerWillMoveItemAtIndex(QMTreeManager &manager, qint64 fromIndex,
                                        const QMTreeNodePointer &fromParent, qint64 toIndex,
                                        const QMTreeNodePointer &toParent) override
    {
        CHECK(fromParent == toParent);
        will(Call::Move, moveText(fromIndex, toIndex), fromParent);
        const qint64 size = count(manager, fromParent);
        CHECK(fromIndex >= 0 && fromIndex < size && toIndex >= 0 && toIndex < size);
    }
    void treeManagerDidMoveItemAtIndex(QMTreeManager &, qint64 fromIndex,
                                       const QMTreeNodePointer &fromParent, qint64 toIndex,
                                       const QMTreeNodePointer &) override
    {
        did(Call::Move, moveText(fromIndex, toIndex), fromParent);
    }

    bool pending() const { return m_pending.has_value(); }

private:
    enum class Call { Delete, Insert, Move };
    struct Pending
    {
        Call call;
        QString arguments;
        QMTreeNodePointer parent;
    };

    static QString moveText(qint64 fromIndex, qint64 toIndex)
    {
        return QString::number(fromIndex) + u' ' + QString::number(toIndex);
    }

    static qint64 count(QMTreeManager &manager, const QMTreeNodePointer &parent)
    {
        return parent ? parent->numberOfChildren() : manager.rootNodes().size();
    }
    void will(Call call, const QString &arguments, const QMTreeNodePointer &parent)
    {
        CHECK(!m_pending);
        m_pending = Pending {call, arguments, parent};
    }
    void did(Call call, const QString &arguments, const QMTreeNodePointer &parent)
    {
        CHECK(m_pending && m_pending->call == call && m_pending->arguments == arguments
              && m_pending->parent == parent);
        m_pending.reset();
    }

    std::optional<Pending> m_pending;
};

std::optional<QMTreeNodeList> read(const QByteArray &bytes)
{
    QString error;
    std::optional<QMTreeNodeList> nodes = TreeReader::nodesFromJson(bytes, &error);
    if (!nodes) {
        CHECK(!error.isEmpty() && !error.contains(u'\n'));
        return std::nullopt;
    }
    CHECK(error.isNull());
    // Written back, the tree reads the same again.
    const QByteArray written = QJsonDocument(json(*nodes)).toJson(QJsonDocument::Compact);
    const std::optional<QMTreeNodeList> again = TreeReader::nodesFromJson(written, &error);
    CHECK(again && shapes(*again) == shapes(*nodes));
    return nodes;
}

void checkMerge(QMTreeNodeList oldRoots, const QMTreeNodeList &newRoots, const Settings &settings)
{
    const QList<Shape> newShapes = shapes(newRoots);
    auto manager = QMTreeManager::treeManagerWithRootNodes(oldRoots);
    oldRoots.clear(); // nodes the filter hides must go, as in an application
    manager->setUsesIncrementalUpdates(true);
    if (settings.sortByTitle)
        manager->setSortDescriptors({QMSortDescriptor(QStringLiteral("title"))});
    const QMTreeNodePredicate predicate = [&settings](const QMTreeNode &node) {
        return displayText(node.identifier(), node.title())
                .contains(settings.filter, Qt::CaseInsensitive);
    };
    if (!settings.filter.isNull())
        manager->setFilterPredicate(predicate);
    manager->setUpdateHandler([](const QMTreeNodePointer &existing, const QMTreeNodePointer &node) {
        const bool changed = existing->title() != node->title()
                || existing->title().isNull() != node->title().isNull();
        existing->setTitle(node->title());
        return changed;
    });

    QHash<QString, std::weak_ptr<QMTreeNode>> before;
    const QHash<QString, QMTreeNode *> shown = checkTree(*manager);
    for (const auto &[identifier, node] : shown.asKeyValueRange())
        before.insert(identifier, node->shared_from_this());

    const auto delegate = std::make_shared<CheckingDelegate>();
    manager->setDelegate(delegate);
    manager->updateRootNodesWithNodes(newRoots);
    CHECK(!delegate->pending());

    CHECK(shapes(manager->rootNodes()) == expected(newShapes, settings));
    const QHash<QString, QMTreeNode *> after = checkTree(*manager);
    for (const auto &[identifier, node] : after.asKeyValueRange()) {
        if (const auto old = before.constFind(identifier); old != before.cend())
            CHECK(old->lock().get() == node);
    }

    if (settings.filter.isNull())
        return;
    manager->setFilterPredicate({});
    CHECK(!delegate->pending());
    CHECK(!manager->isFiltering() && !manager->unfilteredRootNodesCopy());
    CHECK(shapes(manager->rootNodes()) == expected(newShapes, {settings.sortByTitle, QString()}));
    const QHash<QString, QMTreeNode *> unfiltered = checkTree(*manager);
    for (const auto &[identifier, node] : unfiltered.asKeyValueRange()) {
        if (const auto filtered = after.constFind(identifier); filtered != after.cend())
            CHECK(*filtered == node);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    currentInput = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype separator = currentInput.indexOf('\0');
    const QByteArray oldJson = separator < 0 ? currentInput : currentInput.left(separator);
    const QByteArray newJson = separator < 0 ? currentInput : currentInput.mid(separator + 1);
    std::optional<QMTreeNodeList> oldRoots = read(oldJson);
    const std::optional<QMTreeNodeList> newRoots = read(newJson);
    if (!oldRoots || !newRoots)
        return 0;

    const size_t hash = qHash(currentInput);
    Settings settings;
    settings.sortByTitle = hash & 1;
    // A letter that some titles hold and others do not, now and then the empty text that all do.
    if (hash & 2) {
        const int pick = int((hash >> 2) % 7);
        settings.filter = pick == 6 ? QStringLiteral("") : QString(QChar(u'a' + pick));
    }
    try {
        // Handed over, so that the manager alone owns the old tree.
        checkMerge(std::move(*oldRoots), *newRoots, settings);
    } catch (const QMInternalInconsistencyException &e) {
        // Trees that the reader accepts are trees the manager must merge.
        std::fprintf(stderr, "exception: %s\n", qUtf8Printable(e.reason()));
        CHECK(false);
    }
    return 0;
}
