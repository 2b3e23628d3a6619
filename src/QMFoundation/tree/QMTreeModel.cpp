#include <QMFoundation/tree/QMTreeModel.h>

#include "QMFoundation/lists/QMItemModelSupport_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <QList>
#include <QMap>
#include <QScopeGuard>
#include <QSet>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

// Where a shown node stands: its parent as the model shows it (null for the root list) and its
// row there. The model keeps this for every node it shows, because the tree's links cannot tell
// it: a root node's parentNode() may name another node, and a node that the manager has just
// removed has lost its link while the view is still being told of the removal.
struct Location
{
    QMTreeNode *parent = nullptr;
    qsizetype row = 0;
};

// The one child list whose change the model is reporting. The manager has already changed the
// list when the model hears of it, so for the length of the report the rows are read from here.
struct Transition
{
    enum Kind { None, Removal, Insertion, Move };
    Kind kind = None;
    QMTreeNode *parent = nullptr;

    // Removal and insertion: the shown rows are head[0, split) followed by tail[tailStart, end).
    // A removal starts with the old list as head and the new one as tail and takes its ranges
    // from the highest; an insertion starts the other way round and takes them from the lowest.
    // Each range moves the split, so a step with many ranges costs no more than one with one.
    QMTreeNodeList head {};
    QMTreeNodeList tail {};
    qsizetype split = 0;
    qsizetype tailStart = 0;
    // Positions in head and tail, made on the first row query of the step.
    QHash<const QMTreeNode *, qsizetype> headRows {};
    QHash<const QMTreeNode *, qsizetype> tailRows {};

    // Move: the manager has moved the child at `from` to `to`; the rows show the order before.
    qsizetype from = 0;
    qsizetype to = 0;

    qsizetype count(const QMTreeNodeList &current) const
    {
        return kind == Move ? current.size() : split + tail.size() - tailStart;
    }

    QMTreeNode *at(qsizetype row, const QMTreeNodeList &current) const
    {
        if (kind != Move)
            return (row < split ? head[row] : tail[tailStart + row - split]).get();
        if (row == from)
            return current[to].get();
        if (from < to && row > from && row <= to)
            return current[row - 1].get();
        if (to < from && row >= to && row < from)
            return current[row + 1].get();
        return current[row].get();
    }

    // The row of a node of the list; `locationRow` is its row before the step.
    qsizetype rowOf(const QMTreeNode *node, qsizetype locationRow)
    {
        if (kind == Move)
            return locationRow;
        if (headRows.isEmpty() && tailRows.isEmpty()) {
            for (qsizetype k = 0; k < head.size(); ++k)
                headRows.insert(head[k].get(), k);
            for (qsizetype k = 0; k < tail.size(); ++k)
                tailRows.insert(tail[k].get(), k);
        }
        const qsizetype inHead = headRows.value(node, -1);
        if (inHead >= 0 && inHead < split)
            return inHead;
        const qsizetype inTail = tailRows.value(node, -1);
        return inTail >= tailStart ? inTail - tailStart + split : -1;
    }
};

// A will call of the manager whose did call has not come yet.
struct PendingStep
{
    Transition::Kind kind = Transition::None;
    QMTreeNodePointer parent {};
    QMTreeNodeList before {};
    qsizetype from = 0;
    qsizetype to = 0;
    QMTreeNodePointer moved {};
};

QString reportingMessage()
{
    return QStringLiteral("Expected no change of the tree model while it reports one");
}

QString standsInTwoMessage(const QMTreeNode &node)
{
    return QStringLiteral("Expected each node in one place of the tree, but %1 stands in two")
            .arg(node.identifier());
}

// A new child list that names one identifier twice makes the manager place one node twice in a
// list, and the model cannot show one node in two rows: such a tree is refused before anything
// changes. (The same identifier under two parents is fine: the node goes to the list merged
// last.) Null nodes are left to the manager, which refuses them itself.
void checkOneIdentifierOncePerList(const QMTreeNodeList &nodes)
{
    QList<const QMTreeNodeList *> lists {&nodes};
    QSet<quint64> identifiers;
    while (!lists.isEmpty()) {
        const QMTreeNodeList &list = *lists.takeLast();
        identifiers.clear();
        for (const QMTreeNodePointer &node : list) {
            if (!node)
                continue;
            const qsizetype before = identifiers.size();
            identifiers.insert(node->numericIdentifier());
            if (identifiers.size() == before)
                QMAssert(false, standsInTwoMessage(*node));
            lists.append(&node->mutableChildNodes());
        }
    }
}

} // namespace

class QMTreeModel::Private
{
public:
    // Marks the model as reporting a change, after checking that it reports none.
    class ChangeGuard : public QMChangingScope
    {
    public:
        explicit ChangeGuard(Private *model)
            : QMChangingScope(quiet(model)->changing)
        { }

    private:
        static Private *quiet(Private *d)
        {
            QMAssert(!d->changing, reportingMessage());
            return d;
        }
    };

    // The manager's delegate: each call is first turned into the model's notifications and then
    // handed on to the host's delegate.
    class Adapter : public QMTreeManagerDelegate
    {
    public:
        explicit Adapter(Private *model)
            : d(model)
        { }

        std::optional<bool> treeManagerUpdateItem(QMTreeManager &treeManager,
                                                  const QMTreeNodePointer &existingNode,
                                                  const QMTreeNodePointer &newNode) override
        {
            if (const auto host = d->host.lock())
                return host->treeManagerUpdateItem(treeManager, existingNode, newNode);
            return std::nullopt;
        }
        void treeManagerDidUpdateItems(QMTreeManager &treeManager,
                                       const QMTreeNodeList &nodes) override
        {
            if (!d->silent)
                d->updated.append(nodes);
            forward(&QMTreeManagerDelegate::treeManagerDidUpdateItems, treeManager, nodes);
        }
        void treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &treeManager,
                                                    const QMIndexSet &indexes,
                                                    const QMTreeNodePointer &parent) override
        {
            if (!d->silent && d->isShown(parent.get()))
                d->pending = PendingStep {.kind = Transition::Removal,
                                          .parent = parent,
                                          .before = d->childList(parent.get())};
            forward(&QMTreeManagerDelegate::treeManagerWillDeleteItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &treeManager,
                                                   const QMIndexSet &indexes,
                                                   const QMTreeNodePointer &parent) override
        {
            if (const std::optional<PendingStep> step = d->takePending(parent))
                d->removeRows(parent.get(), indexes, step->before);
            forward(&QMTreeManagerDelegate::treeManagerDidDeleteItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &treeManager,
                                                    const QMIndexSet &indexes,
                                                    const QMTreeNodePointer &parent) override
        {
            // Also for a parent the model does not show: the nodes inserted there may be shown
            // elsewhere now.
            if (!d->silent)
                d->pending = PendingStep {.kind = Transition::Insertion,
                                          .parent = parent,
                                          .before = d->childList(parent.get())};
            forward(&QMTreeManagerDelegate::treeManagerWillInsertItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &treeManager,
                                                   const QMIndexSet &indexes,
                                                   const QMTreeNodePointer &parent) override
        {
            if (const std::optional<PendingStep> step = d->takePending(parent))
                d->insertRows(parent.get(), indexes, step->before);
            forward(&QMTreeManagerDelegate::treeManagerDidInsertItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerWillMoveItemAtIndex(QMTreeManager &treeManager, qint64 fromIndex,
                                            const QMTreeNodePointer &fromParent, qint64 toIndex,
                                            const QMTreeNodePointer &toParent) override
        {
            if (!d->silent && d->isShown(fromParent.get())) {
                const QMTreeNodeList &list = d->childList(fromParent.get());
                d->pending = PendingStep {.kind = Transition::Move,
                                          .parent = fromParent,
                                          .from = qsizetype(fromIndex),
                                          .to = qsizetype(toIndex),
                                          .moved = list.value(qsizetype(fromIndex))};
            }
            forward(&QMTreeManagerDelegate::treeManagerWillMoveItemAtIndex, treeManager, fromIndex,
                    fromParent, toIndex, toParent);
        }
        void treeManagerDidMoveItemAtIndex(QMTreeManager &treeManager, qint64 fromIndex,
                                           const QMTreeNodePointer &fromParent, qint64 toIndex,
                                           const QMTreeNodePointer &toParent) override
        {
            if (const std::optional<PendingStep> step = d->takePending(fromParent))
                d->moveRow(fromParent.get(), step->from, step->to);
            forward(&QMTreeManagerDelegate::treeManagerDidMoveItemAtIndex, treeManager, fromIndex,
                    fromParent, toIndex, toParent);
        }

    private:
        template<typename Function, typename... Arguments>
        void forward(Function function, Arguments &&...arguments)
        {
            if (const std::shared_ptr<QMTreeManagerDelegate> host = d->host.lock())
                (host.get()->*function)(std::forward<Arguments>(arguments)...);
        }

        Private *d;
    };

    explicit Private(QMTreeModel *model)
        : q(model)
    {
        manager.setUsesIncrementalUpdates(true);
        manager.setDelegate(adapter);
    }

    // The list itself, as the manager keeps it.
    QMTreeNodeList &childList(QMTreeNode *parent)
    {
        return parent ? parent->mutableChildNodes() : manager.mutableRootNodes();
    }

    bool isShown(const QMTreeNode *node) const { return !node || locations.contains(node); }

    Transition *transitionOf(const QMTreeNode *parent)
    {
        for (Transition &transition : transitions) {
            if (transition.parent == parent)
                return &transition;
        }
        return nullptr;
    }

    qsizetype shownCount(QMTreeNode *parent)
    {
        const QMTreeNodeList &list = childList(parent);
        const Transition *transition = transitionOf(parent);
        return transition ? transition->count(list) : list.size();
    }

    QMTreeNode *shownChild(QMTreeNode *parent, qsizetype row)
    {
        const QMTreeNodeList &list = childList(parent);
        const Transition *transition = transitionOf(parent);
        return transition ? transition->at(row, list) : list[row].get();
    }

    QModelIndex indexOf(const QMTreeNode *node)
    {
        const auto found = node ? locations.constFind(node) : locations.cend();
        if (found == locations.cend())
            return {};
        Transition *transition = transitionOf(found->parent);
        const qsizetype row = transition ? transition->rowOf(node, found->row) : found->row;
        return q->createIndex(int(row), 0, node);
    }

    // The node of an index that stands for a shown node, or null.
    QMTreeNode *shownNode(const QModelIndex &index) const
    {
        if (!index.isValid() || index.model() != q)
            return nullptr;
        auto *node = static_cast<QMTreeNode *>(index.internalPointer());
        return locations.contains(node) ? node : nullptr;
    }

    std::optional<PendingStep> takePending(const QMTreeNodePointer &parent)
    {
        if (!pending || pending->parent != parent)
            return std::nullopt;
        return std::exchange(pending, std::nullopt);
    }

    // Enters `node` and everything below it as shown, `node` at `row` of `parent`.
    void addSubtree(const QMTreeNodePointer &node, QMTreeNode *parent, qsizetype row)
    {
        locations.insert(node.get(), Location {parent, row});
        QList<QMTreeNode *> stack {node.get()};
        while (!stack.isEmpty()) {
            QMTreeNode *next = stack.takeLast();
            const QMTreeNodeList &children = next->mutableChildNodes();
            for (qsizetype k = 0; k < children.size(); ++k) {
                Q_ASSERT(!locations.contains(children[k].get()));
                locations.insert(children[k].get(), Location {next, k});
                stack.append(children[k].get());
            }
        }
    }

    void eraseSubtree(QMTreeNode *node)
    {
        locations.remove(node);
        QList<QMTreeNode *> stack {node};
        while (!stack.isEmpty()) {
            QMTreeNode *next = stack.takeLast();
            for (const QMTreeNodePointer &child : next->mutableChildNodes()) {
                // Only what is shown under `next`; a node taken elsewhere has its own entry.
                const auto found = locations.constFind(child.get());
                if (found != locations.cend() && found->parent == next) {
                    locations.erase(found);
                    stack.append(child.get());
                }
            }
        }
    }

    void renumber(QMTreeNode *parent, qsizetype first, qsizetype last = -1)
    {
        const QMTreeNodeList &list = childList(parent);
        if (last < 0 || last >= list.size())
            last = list.size() - 1;
        for (qsizetype row = first; row <= last; ++row) {
            const auto found = locations.find(list[row].get());
            if (found != locations.end())
                found->row = row;
        }
    }

    // Calls `visit(parent, list)` for the root list and the child list of every shown node.
    template<typename Visit>
    void forEachShownList(Visit visit)
    {
        QList<QMTreeNode *> stack {nullptr};
        while (!stack.isEmpty()) {
            QMTreeNode *parent = stack.takeLast();
            const QMTreeNodeList &list = childList(parent);
            visit(parent, list);
            for (const QMTreeNodePointer &child : list) {
                // A null entry would stand for the root list here.
                if (child)
                    stack.append(child.get());
            }
        }
    }

    void rebuildLocations()
    {
        locations.clear();
        forEachShownList([this](QMTreeNode *parent, const QMTreeNodeList &list) {
            for (qsizetype row = 0; row < list.size(); ++row) {
                if (list[row])
                    locations.insert(list[row].get(), Location {parent, row});
            }
        });
    }

    void removeRows(QMTreeNode *parent, const QMIndexSet &rows, const QMTreeNodeList &before)
    {
        const QModelIndex parentIndex = indexOf(parent);
        Transition &transition
                = transitions.emplaceBack(Transition {.kind = Transition::Removal,
                                                      .parent = parent,
                                                      .head = before,
                                                      .tail = childList(parent),
                                                      .split = before.size(),
                                                      .tailStart = childList(parent).size()});
        auto below = qsizetype(rows.count());
        const QList<QMIndexSet::Range> &ranges = rows.ranges();
        for (auto range = ranges.crbegin(); range != ranges.crend(); ++range) {
            const auto first = qsizetype(range->location);
            const auto length = qsizetype(range->length);
            below -= length;
            q->beginRemoveRows(parentIndex, int(first), int(first + length - 1));
            for (qsizetype row = first; row < first + length; ++row)
                eraseSubtree(before[row].get());
            transition.split = first;
            transition.tailStart = first - below;
            q->endRemoveRows();
        }
        transitions.removeLast();
        if (!rows.isEmpty())
            renumber(parent, qsizetype(rows.firstIndex()));
    }

    void insertRows(QMTreeNode *parent, const QMIndexSet &rows, const QMTreeNodeList &before)
    {
        const QMTreeNodeList after = childList(parent);
        QMTreeNodeList inserted;
        for (quint64 row : rows) {
            if (row < quint64(after.size()))
                inserted.append(after[qsizetype(row)]);
        }
        if (!isShown(parent)) {
            takeFromOldPlaces(inserted);
            return;
        }
        transitions.append(Transition {
                .kind = Transition::Insertion, .parent = parent, .head = after, .tail = before});
        takeFromOldPlaces(inserted);
        Transition &transition = transitions.last();

        const QModelIndex parentIndex = indexOf(parent);
        qsizetype added = 0;
        for (const QMIndexSet::Range &range : rows.ranges()) {
            const auto first = qsizetype(range.location);
            const auto length = qsizetype(range.length);
            q->beginInsertRows(parentIndex, int(first), int(first + length - 1));
            added += length;
            transition.split = first + length;
            transition.tailStart = transition.split - added;
            for (qsizetype row = first; row < first + length; ++row)
                addSubtree(after[row], parent, row);
            q->endInsertRows();
        }
        transitions.removeLast();
        if (!rows.isEmpty())
            renumber(parent, qsizetype(rows.firstIndex()));
    }

    // The manager reports a node that a merge takes to another parent as a delete from its old
    // list, found through the node's parent link. Where that link does not name the list that
    // shows the node (a root given to setRootNodes() as some other node's child, a list built
    // without linking), the insertion would leave the node shown in two places, or take it out
    // of its old list unreported (insertChild() unlinks it). The model then reports the node's
    // removal from its old place itself, before the insertion.
    void takeFromOldPlaces(const QMTreeNodeList &nodes)
    {
        // Old parent -> (old row -> node), in the order of the nodes.
        QList<std::pair<QMTreeNode *, QMap<qsizetype, QMTreeNodePointer>>> groups;
        for (const QMTreeNodePointer &node : nodes) {
            const auto found = locations.constFind(node.get());
            if (found == locations.cend())
                continue;
            auto group = std::find_if(groups.begin(), groups.end(), [&](const auto &entry) {
                return entry.first == found->parent;
            });
            if (group == groups.end())
                group = groups.insert(groups.cend(), {found->parent, {}});
            group->second.insert(found->row, node);
        }
        // Every old list goes back to what the view saw before any removal is reported, since
        // the view may read any of them. Lowest rows first, which restores every row.
        for (const auto &[parent, taken] : std::as_const(groups)) {
            QMTreeNodeList &list = childList(parent);
            for (auto entry = taken.cbegin(); entry != taken.cend(); ++entry) {
                if (entry.key() >= list.size() || list[entry.key()] != entry.value())
                    list.insert(entry.key(), entry.value());
            }
        }
        for (const auto &[parent, taken] : std::as_const(groups)) {
            QMTreeNodeList &list = childList(parent);
            const QMTreeNodeList before = list;
            QMIndexSet rows;
            for (auto entry = taken.cend(); entry != taken.cbegin();) {
                --entry;
                rows.addIndex(quint64(entry.key()));
                list.removeAt(entry.key());
                if (parent && entry.value()->parentNode().get() == parent)
                    entry.value()->setParentNode(nullptr);
            }
            if (isShown(parent)) {
                removeRows(parent, rows, before);
            } else {
                // Shown under a node that an earlier removal took away: gone from view already.
                for (const QMTreeNodePointer &node : taken)
                    eraseSubtree(node.get());
            }
        }
    }

    void moveRow(QMTreeNode *parent, qsizetype from, qsizetype to)
    {
        if (from == to)
            return;
        const QModelIndex parentIndex = indexOf(parent);
        transitions.append(
                Transition {.kind = Transition::Move, .parent = parent, .from = from, .to = to});
        // Qt counts a downward destination before the move, the manager after it.
        const bool moving = q->beginMoveRows(parentIndex, int(from), int(from), parentIndex,
                                             int(to > from ? to + 1 : to));
        Q_ASSERT(moving);
        transitions.removeLast();
        renumber(parent, std::min(from, to), std::max(from, to));
        q->endMoveRows();
    }

    // After a failure between a will call and its did call: reports what the manager had
    // already done to the list (removals run from the highest position and insertions from the
    // lowest, so the list before and the list now differ by a subsequence).
    void finishPendingStep()
    {
        if (!pending)
            return;
        const PendingStep step = *std::exchange(pending, std::nullopt);
        QMTreeNode *parent = step.parent.get();
        const QMTreeNodeList &now = childList(parent);
        const auto differing = [](const QMTreeNodeList &longer, const QMTreeNodeList &shorter) {
            QMIndexSet rows;
            qsizetype matched = 0;
            for (qsizetype row = 0; row < longer.size(); ++row) {
                if (matched < shorter.size() && longer[row] == shorter[matched])
                    ++matched;
                else
                    rows.addIndex(quint64(row));
            }
            return rows;
        };
        switch (step.kind) {
        case Transition::Removal:
            if (const QMIndexSet rows = differing(step.before, now); !rows.isEmpty())
                removeRows(parent, rows, step.before);
            break;
        case Transition::Insertion:
            if (const QMIndexSet rows = differing(now, step.before); !rows.isEmpty())
                insertRows(parent, rows, step.before);
            break;
        case Transition::Move:
            if (step.to < now.size() && now[step.to] == step.moved)
                moveRow(parent, step.from, step.to);
            break;
        case Transition::None:
            break;
        }
    }

    // dataChanged() for the shown nodes that the merge reported as changed, one signal per run
    // of adjacent rows.
    void reportUpdatedNodes()
    {
        QList<QMTreeNode *> parents;
        QHash<QMTreeNode *, QList<qsizetype>> rowsByParent;
        QSet<const QMTreeNode *> seen;
        for (const QMTreeNodePointer &node : std::exchange(updated, {})) {
            const auto found = locations.constFind(node.get());
            if (found == locations.cend() || seen.contains(node.get()))
                continue;
            seen.insert(node.get());
            if (!rowsByParent.contains(found->parent))
                parents.append(found->parent);
            rowsByParent[found->parent].append(found->row);
        }
        for (QMTreeNode *parent : std::as_const(parents)) {
            QList<qsizetype> &rows = rowsByParent[parent];
            std::sort(rows.begin(), rows.end());
            const QModelIndex parentIndex = indexOf(parent);
            for (qsizetype k = 0; k < rows.size();) {
                qsizetype last = k;
                while (last + 1 < rows.size() && rows[last + 1] == rows[last] + 1)
                    ++last;
                Q_EMIT q->dataChanged(q->index(int(rows[k]), 0, parentIndex),
                                      q->index(int(rows[last]), 0, parentIndex));
                k = last + 1;
            }
        }
    }

    // Runs a merge of the manager and reports it; on failure, what was done is still reported.
    template<typename Merge>
    void merge(Merge run)
    {
        const ChangeGuard guard(this);
        updated.clear();
        try {
            run();
        } catch (...) {
            finishPendingStep();
            reportUpdatedNodes();
            throw;
        }
        reportUpdatedNodes();
    }

    QVariant roleValue(const QMTreeNode &node, int role) const
    {
        if (role == Qt::DisplayRole) {
            if (displayFunction)
                return displayFunction(node);
            return node.title().isNull() ? node.identifier() : node.title();
        }
        if (role == IdentifierRole)
            return node.identifier();
        return hostRoles.value(node, role);
    }

    QMTreeModel *q;
    QMTreeManager manager;
    std::shared_ptr<Adapter> adapter = std::make_shared<Adapter>(this);
    std::weak_ptr<QMTreeManagerDelegate> host;
    QHash<const QMTreeNode *, Location> locations;
    // The lists whose change is being reported: at most the list of an insertion and the old
    // list of a node it takes away.
    QList<Transition> transitions;
    std::optional<PendingStep> pending;
    QMTreeNodeList updated;
    bool changing = false;
    // While the model resets, the manager's calls describe no change a view could follow.
    bool silent = false;
    DisplayFunction displayFunction;
    QMModelRoles<QMTreeNode, RoleFunction> hostRoles;
};

QMTreeModel::QMTreeModel(QObject *parent)
    : QAbstractItemModel(parent)
    , d(std::make_unique<Private>(this))
{ }

QMTreeModel::~QMTreeModel() = default;

QMTreeNodeList QMTreeModel::rootNodes() const
{
    return d->manager.rootNodes();
}

void QMTreeModel::setRootNodes(const QMTreeNodeList &nodes)
{
    const Private::ChangeGuard guard(d.get());
    // Checked before anything changes: the model's locations need each node in one place.
    QSet<const QMTreeNode *> seen;
    QList<const QMTreeNodeList *> lists {&nodes};
    while (!lists.isEmpty()) {
        for (const QMTreeNodePointer &node : *lists.takeLast()) {
            QMAssert(node != nullptr,
                     QStringLiteral("Expected a node at every position of the tree"));
            if (seen.contains(node.get()))
                QMAssert(false, standsInTwoMessage(*node));
            seen.insert(node.get());
            lists.append(&node->mutableChildNodes());
        }
    }

    beginResetModel();
    d->silent = true;
    const auto done = qScopeGuard([this] {
        d->silent = false;
        d->pending.reset();
        d->rebuildLocations();
        endResetModel();
    });
    QMTreeManager &manager = d->manager;
    manager.setMutableRootNodes(nodes);
    manager.setNodesByIdentifierMap({});
    manager.updateNodesByIdentifierMapRecursivelyWithChildNodes(nodes);
    manager.setUnfilteredRootNodesCopy(std::nullopt);
    manager.setUnfilteredNodesByIdentifierMap({});
    manager.setFiltering(false);
    manager.applySortDescriptorsToParentNode(nullptr);
    manager.applyFilterPredicate();
}

void QMTreeModel::updateRootNodes(const QMTreeNodeList &nodes)
{
    checkOneIdentifierOncePerList(nodes);
    d->merge([&] { d->manager.updateRootNodesWithNodes(nodes); });
}

void QMTreeModel::updateChildNodes(const QMTreeNodePointer &parent, const QMTreeNodeList &nodes)
{
    QMAssert(parent && d->isShown(parent.get()),
             QStringLiteral("Expected a node of the tree as the parent of the merge"));
    checkOneIdentifierOncePerList(nodes);
    d->merge([&] { d->manager.updateParentNode(parent, nodes); });
}

const QMSortDescriptorList &QMTreeModel::sortDescriptors() const
{
    return d->manager.sortDescriptors();
}

void QMTreeModel::setSortDescriptors(const QMSortDescriptorList &descriptors)
{
    const Private::ChangeGuard guard(d.get());
    Q_EMIT layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    // Sorting keeps every node under its parent, so each persistent index finds its node's new
    // row; this holds even when a sort descriptor throws halfway.
    const auto done = qScopeGuard([&] {
        d->forEachShownList(
                [this](QMTreeNode *parent, const QMTreeNodeList &) { d->renumber(parent, 0); });
        QModelIndexList after;
        after.reserve(before.size());
        for (const QModelIndex &index : before)
            after.append(d->indexOf(static_cast<QMTreeNode *>(index.internalPointer())));
        changePersistentIndexList(before, after);
        Q_EMIT layoutChanged();
    });
    d->manager.setSortDescriptors(descriptors);
}

const QMTreeNodePredicate &QMTreeModel::filterPredicate() const
{
    return d->manager.filterPredicate();
}

void QMTreeModel::setFilterPredicate(const QMTreeNodePredicate &predicate)
{
    d->merge([&] { d->manager.setFilterPredicate(predicate); });
}

bool QMTreeModel::isFiltering() const
{
    return d->manager.isFiltering();
}

void QMTreeModel::setUpdateHandler(const QMTreeManager::UpdateHandler &handler)
{
    // The manager may be running the handler that this would destroy.
    QMAssert(!d->changing, reportingMessage());
    d->manager.setUpdateHandler(handler);
}

void QMTreeModel::setDelegate(const std::shared_ptr<QMTreeManagerDelegate> &delegate)
{
    d->host = delegate;
}

const QMTreeManager &QMTreeModel::manager() const
{
    return d->manager;
}

QMTreeNodePointer QMTreeModel::nodeForIndex(const QModelIndex &index) const
{
    QMTreeNode *node = d->shownNode(index);
    return node ? node->shared_from_this() : nullptr;
}

QModelIndex QMTreeModel::indexForNode(const QMTreeNodePointer &node) const
{
    return node ? d->indexOf(node.get()) : QModelIndex();
}

void QMTreeModel::setDisplayFunction(DisplayFunction function)
{
    const Private::ChangeGuard guard(d.get());
    d->displayFunction = std::move(function);
    d->forEachShownList([this](QMTreeNode *parent, const QMTreeNodeList &list) {
        if (list.isEmpty())
            return;
        const QModelIndex parentIndex = d->indexOf(parent);
        Q_EMIT dataChanged(index(0, 0, parentIndex), index(int(list.size() - 1), 0, parentIndex),
                           {Qt::DisplayRole});
    });
}

void QMTreeModel::setRoleProvider(const QHash<int, QByteArray> &roleNames, RoleFunction function)
{
    QMModelRoles<QMTreeNode, RoleFunction> roles;
    roles.set(roleNames, std::move(function), IdentifierRole);
    const Private::ChangeGuard guard(d.get());
    beginResetModel();
    d->hostRoles = std::move(roles);
    endResetModel();
}

QModelIndex QMTreeModel::index(int row, int column, const QModelIndex &parent) const
{
    QMTreeNode *parentNode = d->shownNode(parent);
    if (column != 0 || row < 0 || (parent.isValid() && !parentNode)
        || row >= d->shownCount(parentNode))
        return {};
    return createIndex(row, 0, d->shownChild(parentNode, row));
}

QModelIndex QMTreeModel::parent(const QModelIndex &child) const
{
    const QMTreeNode *node = d->shownNode(child);
    if (!node)
        return {};
    return d->indexOf(d->locations.value(node).parent);
}

int QMTreeModel::rowCount(const QModelIndex &parent) const
{
    QMTreeNode *parentNode = d->shownNode(parent);
    if (parent.column() > 0 || (parent.isValid() && !parentNode))
        return 0;
    return int(d->shownCount(parentNode));
}

int QMTreeModel::columnCount(const QModelIndex &parent) const
{
    return parent.column() > 0 ? 0 : 1;
}

bool QMTreeModel::hasChildren(const QModelIndex &parent) const
{
    return rowCount(parent) > 0;
}

QVariant QMTreeModel::data(const QModelIndex &index, int role) const
{
    const QMTreeNode *node = d->shownNode(index);
    if (!node || index.column() != 0)
        return {};
    // Views ask from Qt's event loop (painting, layout): the host's display and role functions
    // must not throw through it.
    try {
        return d->roleValue(*node, role);
    } catch (...) {
        QMUncaughtExceptions::handleCurrentException("a role function of a tree model");
        return {};
    }
}

QHash<int, QByteArray> QMTreeModel::roleNames() const
{
    return d->hostRoles.names(IdentifierRole);
}

void QMTreeModel::sort(int column, Qt::SortOrder order)
{
    QMSortDescriptorList descriptors;
    if (column == 0)
        descriptors.append(QMSortDescriptor(QStringLiteral("title"), order == Qt::AscendingOrder));
    setSortDescriptors(descriptors);
}
