#include "QMFoundation/tree/QMTreeModel_p.h"
#include "QMFoundation/tree/QMTreeNodeLists_p.h"

#include <QScopeGuard>

#include <utility>

QMTreeNodeList &QMTreeModel::Private::childList(QMTreeNode *parent)
{
    return parent ? parent->mutableChildNodes() : manager.mutableRootNodes();
}

QMTreeModel::Private::Transition *QMTreeModel::Private::transitionOf(const QMTreeNode *parent)
{
    for (Transition &transition : transitions) {
        if (transition.parent == parent)
            return &transition;
    }
    return nullptr;
}

qsizetype QMTreeModel::Private::shownCount(QMTreeNode *parent)
{
    const QMTreeNodeList &list = childList(parent);
    const Transition *transition = transitionOf(parent);
    return transition ? transition->count(list) : list.size();
}

QMTreeNode *QMTreeModel::Private::shownChild(QMTreeNode *parent, qsizetype row)
{
    const QMTreeNodeList &list = childList(parent);
    const Transition *transition = transitionOf(parent);
    return transition ? transition->at(row, list) : list[row].get();
}

QModelIndex QMTreeModel::Private::indexOf(const QMTreeNode *node)
{
    const auto found = node ? locations.constFind(node) : locations.cend();
    if (found == locations.cend())
        return {};
    Transition *transition = transitionOf(found->parent);
    const qsizetype row = transition ? transition->rowOf(node, found->row) : found->row;
    return q->createIndex(int(row), 0, node);
}

QMTreeNode *QMTreeModel::Private::shownNode(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != q)
        return nullptr;
    auto *node = static_cast<QMTreeNode *>(index.internalPointer());
    return locations.contains(node) ? node : nullptr;
}

std::optional<QMTreeModel::Private::PendingStep>
QMTreeModel::Private::takePending(const QMTreeNodePointer &parent)
{
    if (!pending || pending->parent != parent)
        return std::nullopt;
    return std::exchange(pending, std::nullopt);
}

void QMTreeModel::Private::addSubtree(const QMTreeNodePointer &node, QMTreeNode *parent,
                                      qsizetype row)
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

void QMTreeModel::Private::eraseSubtree(QMTreeNode *node)
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

void QMTreeModel::Private::renumber(QMTreeNode *parent, qsizetype first, qsizetype last)
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

void QMTreeModel::Private::rebuildLocations()
{
    locations.clear();
    forEachShownList([this](QMTreeNode *parent, const QMTreeNodeList &list) {
        for (qsizetype row = 0; row < list.size(); ++row) {
            if (list[row])
                locations.insert(list[row].get(), Location {parent, row});
        }
    });
}

void QMTreeModel::Private::removeRows(QMTreeNode *parent, const QMIndexSet &rows,
                                      const QMTreeNodeList &before)
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

void QMTreeModel::Private::insertRows(QMTreeNode *parent, const QMIndexSet &rows,
                                      const QMTreeNodeList &before)
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

void QMTreeModel::Private::takeFromOldPlaces(const QMTreeNodeList &nodes)
{
    // Old parent -> (old row -> node), in the order of the nodes.
    QList<std::pair<QMTreeNode *, QMap<qsizetype, QMTreeNodePointer>>> groups;
    for (const QMTreeNodePointer &node : nodes) {
        const auto found = locations.constFind(node.get());
        if (found == locations.cend())
            continue;
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const auto &entry) { return entry.first == found->parent; });
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

void QMTreeModel::Private::moveRow(QMTreeNode *parent, qsizetype from, qsizetype to)
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

void QMTreeModel::Private::finishPendingStep()
{
    if (!pending)
        return;
    const PendingStep step = *std::exchange(pending, std::nullopt);
    QMTreeNode *parent = step.parent.get();
    const QMTreeNodeList &now = childList(parent);
    switch (step.kind) {
    case Transition::Removal:
        if (const QMIndexSet rows = QMPositionsPassedOver(step.before, now); !rows.isEmpty())
            removeRows(parent, rows, step.before);
        break;
    case Transition::Insertion:
        if (const QMIndexSet rows = QMPositionsPassedOver(now, step.before); !rows.isEmpty())
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

void QMTreeModel::Private::reportUpdatedNodes()
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

QVariant QMTreeModel::Private::roleValue(const QMTreeNode &node, int role) const
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
