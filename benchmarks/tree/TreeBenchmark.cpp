// Tree merges of 111,110 nodes (fan-out 10, five levels) with a fresh copy in which 1% of the nodes
// changed: through the manager in incremental mode with a delegate that records every call, beside
// the wholesale (non-incremental) merge, and through the item model; a filter applied and removed;
// and the identifier map's lookups of known strings from one and two threads, beside one QHash
// behind one mutex.
//
// Each iteration builds its trees afresh with the timer paused, so only the merge (or the filter)
// is timed; the trees of the previous iteration are destroyed while paused too.

#include "PeakMemory.h"

#include <QMFoundation/lists/QMIdentifierMap.h>
#include <QMFoundation/tree/QMTreeManager.h>
#include <QMFoundation/tree/QMTreeModel.h>

#include <benchmark/benchmark.h>

#include <QHash>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <mutex>
#include <random>
#include <vector>

namespace {

// A tree as plain values, from which each iteration builds its nodes.
struct Blueprint
{
    QString identifier;
    QString title;
    QList<Blueprint> children;
};

constexpr int fanOut = 10;
constexpr int levels = 5;

void addLevel(QList<Blueprint> &list, int level, int &serial)
{
    for (int i = 0; i < fanOut; ++i) {
        const QString number = QString::number(serial++);
        Blueprint blueprint {QStringLiteral("n") + number, QStringLiteral("Node ") + number, {}};
        if (level < levels)
            addLevel(blueprint.children, level + 1, serial);
        list.append(blueprint);
    }
}

struct Input
{
    QList<Blueprint> oldTree;
    QList<Blueprint> newTree;
    qsizetype nodeCount = 0;
};

// The edited copy: 1% of the nodes (1,111), a third each with a new title (any level), moved
// (leaves: half within their parent, half to another parent) and removed (leaves).
const Input &input()
{
    static const Input input = [] {
        Input result;
        int serial = 0;
        addLevel(result.oldTree, 1, serial);
        result.nodeCount = serial;
        QList<Blueprint> tree = result.oldTree;

        // Every leaf's parent, and every node, as pointers into the copy.
        QList<Blueprint *> nodes;
        QList<Blueprint *> leafParents;
        const auto collect = [&](const auto &self, QList<Blueprint> &list, int level) -> void {
            for (Blueprint &blueprint : list) {
                nodes.append(&blueprint);
                if (level == levels - 1)
                    leafParents.append(&blueprint);
                self(self, blueprint.children, level + 1);
            }
        };
        collect(collect, tree, 1);

        std::mt19937_64 random(2026);
        const qsizetype changes = result.nodeCount / 100;
        std::vector<Blueprint *> shuffled(nodes.begin(), nodes.end());
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        for (qsizetype i = 0; i < changes / 3; ++i)
            shuffled[size_t(i)]->title += QStringLiteral(" (edited)");

        // Distinct leaves for the moves and removals, as (parent, identifier) pairs; positions
        // are found again at each step, since earlier steps shift them.
        std::uniform_int_distribution<qsizetype> parentAt(0, leafParents.size() - 1);
        std::uniform_int_distribution<qsizetype> childAt(0, fanOut - 1);
        QSet<QString> picked;
        const auto pickLeaf = [&]() -> std::pair<Blueprint *, QString> {
            for (;;) {
                Blueprint *parent = leafParents.at(parentAt(random));
                if (parent->children.isEmpty())
                    continue;
                const QString identifier
                        = parent->children.at(childAt(random) % parent->children.size()).identifier;
                if (!picked.contains(identifier)) {
                    picked.insert(identifier);
                    return {parent, identifier};
                }
            }
        };
        const auto take = [](Blueprint *parent, const QString &identifier) {
            const auto at = std::find_if(
                    parent->children.begin(), parent->children.end(),
                    [&](const Blueprint &child) { return child.identifier == identifier; });
            Blueprint child = *at;
            parent->children.erase(at);
            return child;
        };
        for (qsizetype i = 0; i < changes / 3; ++i) {
            const auto [parent, identifier] = pickLeaf();
            take(parent, identifier);
        }
        const qsizetype moves = changes - 2 * (changes / 3);
        for (qsizetype i = 0; i < moves; ++i) {
            const auto [from, identifier] = pickLeaf();
            const Blueprint child = take(from, identifier);
            Blueprint *to = i % 2 ? from : leafParents.at(parentAt(random));
            std::uniform_int_distribution<qsizetype> at(0, to->children.size());
            to->children.insert(at(random), child);
        }
        result.newTree = tree;
        return result;
    }();
    return input;
}

QMTreeNodeList build(const QList<Blueprint> &blueprints)
{
    QMTreeNodeList nodes;
    nodes.reserve(blueprints.size());
    for (const Blueprint &blueprint : blueprints) {
        const QMTreeNodePointer node = QMTreeNode::nodeWithIdentifier(blueprint.identifier);
        node->setTitle(blueprint.title);
        for (const QMTreeNodePointer &child : build(blueprint.children))
            node->addChild(child);
        nodes.append(node);
    }
    return nodes;
}

bool updateTitle(const QMTreeNodePointer &existingNode, const QMTreeNodePointer &newNode)
{
    if (existingNode->title() == newNode->title())
        return false;
    existingNode->setTitle(newNode->title());
    return true;
}

// Keeps every call, as a view's adapter would have to look at each.
class RecordingDelegate final : public QMTreeManagerDelegate
{
public:
    struct Call
    {
        int kind;
        QMIndexSet indexes;
        QMTreeNode *parent;
    };

    void treeManagerDidUpdateItems(QMTreeManager &, const QMTreeNodeList &nodes) override
    {
        calls.append(
                {0, QMIndexSet::indexSetWithIndexesInRange(0, quint64(nodes.size())), nullptr});
    }
    void treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        calls.append({1, indexes, parent.get()});
    }
    void treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        calls.append({2, indexes, parent.get()});
    }
    void treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        calls.append({3, indexes, parent.get()});
    }
    void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        calls.append({4, indexes, parent.get()});
    }
    void treeManagerWillMoveItemAtIndex(QMTreeManager &, qint64 fromIndex,
                                        const QMTreeNodePointer &fromParent, qint64 toIndex,
                                        const QMTreeNodePointer &) override
    {
        calls.append({5, QMIndexSet {quint64(fromIndex), quint64(toIndex)}, fromParent.get()});
    }
    void treeManagerDidMoveItemAtIndex(QMTreeManager &, qint64 fromIndex,
                                       const QMTreeNodePointer &fromParent, qint64 toIndex,
                                       const QMTreeNodePointer &) override
    {
        calls.append({6, QMIndexSet {quint64(fromIndex), quint64(toIndex)}, fromParent.get()});
    }

    QList<Call> calls;
};

void BM_ManagerMerge(benchmark::State &state, bool incremental)
{
    const PeakMemory::Scope peak(state);
    const Input &trees = input();
    std::unique_ptr<QMTreeManager> manager;
    QMTreeNodeList newRoots;
    const auto delegate = std::make_shared<RecordingDelegate>();
    for (auto _ : state) {
        state.PauseTiming();
        manager.reset();
        newRoots = build(trees.newTree);
        manager = QMTreeManager::treeManagerWithRootNodes(build(trees.oldTree));
        manager->setUsesIncrementalUpdates(incremental);
        manager->setUpdateHandler(updateTitle);
        delegate->calls.clear();
        if (incremental)
            manager->setDelegate(delegate);
        state.ResumeTiming();
        manager->updateRootNodesWithNodes(newRoots);
    }
    // The loop has stopped the timer: the last trees go untimed.
    manager.reset();
    state.counters["nodes"] = double(trees.nodeCount);
    state.counters["calls"] = double(delegate->calls.size());
}

// The filter applied (hiding the leaves whose title lacks "42", about 96% of them, and the parents
// left without children) and removed again.
void BM_FilterRoundTrip(benchmark::State &state, bool incremental)
{
    const PeakMemory::Scope peak(state);
    const Input &trees = input();
    std::unique_ptr<QMTreeManager> manager;
    for (auto _ : state) {
        state.PauseTiming();
        manager.reset();
        manager = QMTreeManager::treeManagerWithRootNodes(build(trees.oldTree));
        manager->setUsesIncrementalUpdates(incremental);
        state.ResumeTiming();
        manager->setFilterPredicate(
                [](const QMTreeNode &node) { return node.title().contains(QStringLiteral("42")); });
        manager->setFilterPredicate({});
    }
    // The loop has stopped the timer: the last trees go untimed.
    manager.reset();
    state.counters["nodes"] = double(trees.nodeCount);
}

// The incremental merge through the item model, which turns each call into Qt's row signals
// (no view attached).
void BM_ModelMerge(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const Input &trees = input();
    QMTreeModel model;
    model.setUpdateHandler(updateTitle);
    qint64 signals = 0;
    QObject::connect(&model, &QAbstractItemModel::rowsRemoved, [&] { ++signals; });
    QObject::connect(&model, &QAbstractItemModel::rowsInserted, [&] { ++signals; });
    QObject::connect(&model, &QAbstractItemModel::rowsMoved, [&] { ++signals; });
    QObject::connect(&model, &QAbstractItemModel::dataChanged, [&] { ++signals; });
    QMTreeNodeList newRoots;
    for (auto _ : state) {
        state.PauseTiming();
        model.setRootNodes({});
        newRoots = build(trees.newTree);
        model.setRootNodes(build(trees.oldTree));
        signals = 0;
        state.ResumeTiming();
        model.updateRootNodes(newRoots);
    }
    model.setRootNodes({});
    state.counters["signals"] = double(signals);
}
BENCHMARK(BM_ModelMerge)->Unit(benchmark::kMillisecond);

// Emptying a node of n children, each unlinked from it: linear in n (it was quadratic, 54 ms for
// 8,000 children).
QMTreeNodePointer nodeWithChildren(qint64 count)
{
    auto parent = std::make_shared<QMTreeNode>(QStringLiteral("parent"));
    for (qint64 i = 0; i < count; ++i)
        parent->mutableChildNodes().append(
                std::make_shared<QMTreeNode>(QStringLiteral("child %1").arg(i)));
    return parent;
}

void BM_RemoveAllChildren(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QMTreeNodePointer parent = nodeWithChildren(state.range(0));
    const QMTreeNodeList children = parent->childNodes();
    for (auto _ : state) {
        state.PauseTiming();
        parent->mutableChildNodes() = children;
        for (const QMTreeNodePointer &child : children)
            child->setParentNode(parent);
        state.ResumeTiming();
        parent->removeAllChildren();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RemoveAllChildren)->Arg(1000)->Arg(8000)->Arg(64000)->Complexity();

const QStringList &knownStrings()
{
    static const QStringList strings = [] {
        QStringList result;
        for (int i = 0; i < 100000; ++i)
            result.append(QStringLiteral("known-") + QString::number(i));
        return result;
    }();
    return strings;
}

// A map of its own that holds the known strings alone, like the peer's table: the shared map
// also holds every identifier of the tree benchmarks, whose size and scattered memory would
// weigh on it alone.
QMIdentifierMap &knownMap()
{
    static QMIdentifierMap *const map = [] {
        auto *result = new QMIdentifierMap;
        for (const QString &string : knownStrings())
            result->identifierForString(string);
        return result;
    }();
    return *map;
}

void BM_IdentifierForKnownString(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QStringList &strings = knownStrings();
    QMIdentifierMap *const map = &knownMap();
    // The threads start apart, so that they ask for different strings as real callers do.
    qsizetype i = state.thread_index() * strings.size() / 2;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map->identifierForString(strings.at(i)));
        if (++i == strings.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// The obvious map: one QHash behind one mutex.
void BM_MutexHashForKnownString(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    static std::mutex mutex;
    static const QHash<QString, quint64> table = [] {
        QHash<QString, quint64> result;
        for (const QString &string : knownStrings())
            result.insert(string, quint64(result.size() + 1));
        return result;
    }();
    const QStringList &strings = knownStrings();
    qsizetype i = state.thread_index() * strings.size() / 2;
    for (auto _ : state) {
        quint64 number;
        {
            const std::lock_guard lock(mutex);
            number = table.value(strings.at(i));
        }
        benchmark::DoNotOptimize(number);
        if (++i == strings.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(BM_ManagerMerge, incremental, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ManagerMerge, wholesale, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilterRoundTrip, incremental, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilterRoundTrip, wholesale, false)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdentifierForKnownString)->Threads(1)->Threads(2);
BENCHMARK(BM_MutexHashForKnownString)->Threads(1)->Threads(2);
