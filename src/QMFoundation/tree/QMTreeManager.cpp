#include <QMFoundation/tree/QMTreeManager.h>

#include "QMFoundation/tree/QMTreeNodeLists_p.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/Comparing.h>

#include <algorithm>
#include <optional>
#include <vector>

QMTreeManagerDelegate::~QMTreeManagerDelegate() = default;

std::optional<bool> QMTreeManagerDelegate::treeManagerUpdateItem(QMTreeManager &,
                                                                 const QMTreeNodePointer &,
                                                                 const QMTreeNodePointer &)
{
    return std::nullopt;
}

void QMTreeManagerDelegate::treeManagerDidUpdateItems(QMTreeManager &, const QMTreeNodeList &) { }

void QMTreeManagerDelegate::treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &,
                                                                   const QMIndexSet &,
                                                                   const QMTreeNodePointer &)
{ }

void QMTreeManagerDelegate::treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &,
                                                                  const QMIndexSet &,
                                                                  const QMTreeNodePointer &)
{ }

void QMTreeManagerDelegate::treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &,
                                                                   const QMIndexSet &,
                                                                   const QMTreeNodePointer &)
{ }

void QMTreeManagerDelegate::treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &,
                                                                  const QMIndexSet &,
                                                                  const QMTreeNodePointer &)
{ }

void QMTreeManagerDelegate::treeManagerWillMoveItemAtIndex(QMTreeManager &, qint64,
                                                           const QMTreeNodePointer &, qint64,
                                                           const QMTreeNodePointer &)
{ }

void QMTreeManagerDelegate::treeManagerDidMoveItemAtIndex(QMTreeManager &, qint64,
                                                          const QMTreeNodePointer &, qint64,
                                                          const QMTreeNodePointer &)
{ }

namespace {

void checkNodes(const QMTreeNodeList &nodes)
{
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (!nodes[i])
            throw QMInternalInconsistencyException(
                    QStringLiteral("Expected a node at every position of the list, but position "
                                   "%1 holds none")
                            .arg(i));
    }
}

qsizetype countRecursively(const QMTreeNodeList &nodes)
{
    qsizetype count = nodes.size();
    for (const QMTreeNodePointer &node : nodes) {
        if (!node->isLeaf())
            count += countRecursively(node->mutableChildNodes());
    }
    return count;
}

void insertRecursively(QMTreeManager::NodeMap &map, const QMTreeNodeList &nodes)
{
    for (const QMTreeNodePointer &node : nodes) {
        map.insert(node->identifier(), node);
        if (!node->isLeaf())
            insertRecursively(map, node->mutableChildNodes());
    }
}

// Enters the nodes and their descendants by identifier. The map is grown once for all of them
// first: growing step by step while entering a large tree rehashed it several times over.
void enterRecursively(QMTreeManager::NodeMap &map, const QMTreeNodeList &nodes)
{
    map.reserve(map.size() + countRecursively(nodes));
    insertRecursively(map, nodes);
}

bool sameInstances(const QMTreeNodeList &a, const QMTreeNodeList &b)
{
    return a.size() == b.size() && std::equal(a.cbegin(), a.cend(), b.cbegin());
}

// The positions of `longer` that `shorter` lacks, when `shorter` is `longer` with some nodes
// left out and no node stands in `longer` twice: then the comparison would report exactly
// these as deleted (or, the lists swapped, as inserted) and nothing else. A filter's merges
// mostly change lists this way, and a walk is far cheaper than a comparison of a short list.
std::optional<QMIndexSet> positionsLeftOut(const QMTreeNodeList &longer,
                                           const QMTreeNodeList &shorter)
{
    if (shorter.size() >= longer.size())
        return std::nullopt;
    qsizetype matched = 0;
    QMIndexSet leftOut = QMPositionsPassedOver(longer, shorter, &matched);
    if (matched != shorter.size())
        return std::nullopt;
    std::vector<const QMTreeNode *> nodes;
    nodes.reserve(size_t(longer.size()));
    for (const QMTreeNodePointer &node : longer)
        nodes.push_back(node.get());
    std::sort(nodes.begin(), nodes.end());
    if (std::adjacent_find(nodes.begin(), nodes.end()) != nodes.end())
        return std::nullopt;
    return leftOut;
}

} // namespace

class QMTreeManager::Private
{
public:
    bool incremental = false;
    bool filtering = false;
    std::weak_ptr<QMTreeManagerDelegate> delegate;
    QMSortDescriptorList sortDescriptors;
    QMTreeNodePredicate filterPredicate;
    UpdateHandler updateHandler;
    QMTreeNodeList rootNodes;
    std::optional<QMTreeNodeList> unfilteredRootNodesCopy;
    NodeMap nodesByIdentifier;
    NodeMap unfilteredNodesByIdentifier;
    // The lists that a merge took nodes out of, kept until the outermost merge returns: a node
    // that one child list loses and another, merged later, gains is then still alive to be found
    // by identifier, and keeps its instance whichever list comes first.
    QList<QMTreeNodeList> takenOut;
    int mergeDepth = 0;

    static QMTreeNodePointer lookUp(const NodeMap &map, const QString &identifier)
    {
        const auto found = map.constFind(identifier);
        return found == map.cend() ? QMTreeNodePointer() : found->lock();
    }

    // `updatesCopy`: whether the unfiltered copy takes over `nodes` (when filtering). Only a
    // merge that a caller asked for does: the recursion into its levels would copy each
    // subtree once more per level above it, and the filter's own merges bring in what the copy
    // already holds.
    void merge(QMTreeManager &manager, const QMTreeNodePointer &parent, const QMTreeNodeList &nodes,
               bool updatesCopy);
    void apply(QMTreeManager &manager, QMTreeManagerDelegate *receiver,
               const QMTreeNodePointer &parent, const QMTreeNodeList &result);
    void takeOutOfOtherList(QMTreeManager &manager, QMTreeManagerDelegate *receiver,
                            const QMTreeNodePointer &node, const QMTreeNodePointer &parent);
    void sortRecursively(QMTreeNodeList &list);
};

void QMTreeManager::Private::merge(QMTreeManager &manager, const QMTreeNodePointer &parent,
                                   const QMTreeNodeList &nodes, bool updatesCopy)
{
    checkNodes(nodes);
    struct DepthGuard
    {
        Private &d;
        explicit DepthGuard(Private &manager)
            : d(manager)
        {
            ++d.mergeDepth;
        }
        ~DepthGuard()
        {
            if (--d.mergeDepth == 0)
                d.takenOut.clear();
        }
    } depthGuard(*this);
    if (updatesCopy && unfilteredRootNodesCopy) {
        if (parent) {
            if (const QMTreeNodePointer unfiltered
                = lookUp(unfilteredNodesByIdentifier, parent->identifier())) {
                unfiltered->mutableChildNodes() = makeDeepCopyOfNodes(nodes);
                // Linked, so that a copy that comes back later already names its parent.
                for (const QMTreeNodePointer &copy : std::as_const(unfiltered->mutableChildNodes()))
                    copy->setParentNode(unfiltered);
                enterRecursively(unfilteredNodesByIdentifier, unfiltered->mutableChildNodes());
            }
        } else {
            unfilteredRootNodesCopy = makeDeepCopyOfNodes(nodes);
            enterRecursively(unfilteredNodesByIdentifier, *unfilteredRootNodesCopy);
        }
    }

    // Held for the whole merge, so a delegate destroyed by its own callback stays valid until
    // the merge is done.
    const std::shared_ptr<QMTreeManagerDelegate> receiver = this->delegate.lock();
    QMTreeNodeList updated;
    QMTreeNodeList result;
    result.reserve(nodes.size());
    for (const QMTreeNodePointer &node : nodes) {
        QMTreeNodePointer placed = lookUp(nodesByIdentifier, node->identifier());
        if (placed) {
            bool changed = updateHandler ? updateHandler(placed, node) : false;
            if (receiver) {
                if (const std::optional<bool> answer
                    = receiver->treeManagerUpdateItem(manager, placed, node))
                    changed = *answer;
            }
            if (changed)
                updated.append(placed);
        } else {
            nodesByIdentifier.insert(node->identifier(), node);
            placed = node;
        }
        if (!placed->isLeaf() || !node->isLeaf())
            merge(manager, placed, node->childNodes(), false);
        if (filterPredicate && placed->isLeaf() && !filterPredicate(*placed))
            continue;
        result.append(std::move(placed));
    }
    QMSortNodes(result, sortDescriptors);

    if (!incremental) {
        takenOut.append(parent ? parent->mutableChildNodes() : rootNodes);
        if (parent) {
            // Unlike a plain replacement, the placed nodes are linked to their new parent, so
            // that parentNode() stays true after a merge.
            for (const QMTreeNodePointer &node : std::as_const(result))
                node->setParentNode(parent);
            parent->mutableChildNodes() = std::move(result);
        } else {
            rootNodes = std::move(result);
        }
        return;
    }
    if (receiver)
        receiver->treeManagerDidUpdateItems(manager, updated);
    apply(manager, receiver.get(), parent, result);
}

void QMTreeManager::Private::apply(QMTreeManager &manager, QMTreeManagerDelegate *receiver,
                                   const QMTreeNodePointer &parent, const QMTreeNodeList &result)
{
    const QMTreeNodeList current = parent ? parent->childNodes() : rootNodes;
    // The comparison would find nothing to do; most lists of a merge look like this.
    if (sameInstances(current, result))
        return;
    const auto applyChanges = [&](const QMIndexSet &deleted, const QMIndexSet &inserted,
                                  const QMMovePairList &moves) {
        if (!deleted.isEmpty()) {
            takenOut.append(current);
            if (receiver)
                receiver->treeManagerWillDeleteItemsAtIndexPaths(manager, deleted, parent);
            const QList<quint64> positions = deleted.toList();
            for (auto p = positions.crbegin(); p != positions.crend(); ++p) {
                if (parent)
                    parent->removeChildAtIndex(qsizetype(*p));
                else
                    rootNodes.removeAt(qsizetype(*p));
            }
            if (receiver)
                receiver->treeManagerDidDeleteItemsAtIndexPaths(manager, deleted, parent);
        }
        if (!inserted.isEmpty()) {
            for (const quint64 position : inserted)
                takeOutOfOtherList(manager, receiver, result[qsizetype(position)], parent);
            if (receiver)
                receiver->treeManagerWillInsertItemsAtIndexPaths(manager, inserted, parent);
            for (const quint64 position : inserted) {
                const qsizetype j = qsizetype(position);
                if (!parent) {
                    rootNodes.insert(j, result[j]);
                } else if (result[j]->parentNode() == parent) {
                    // Already linked here, so inserted earlier in this loop: a new list
                    // that names one identifier twice places its node twice, as at the
                    // root level and in wholesale mode. insertChild() would move it
                    // instead, leaving the list short of the positions still to fill.
                    parent->mutableChildNodes().insert(j, result[j]);
                } else {
                    parent->insertChild(result[j], j);
                }
            }
            if (receiver)
                receiver->treeManagerDidInsertItemsAtIndexPaths(manager, inserted, parent);
        }
        for (const QMMovePair &move : moves) {
            const qint64 from = qint64(move.first);
            const qint64 to = qint64(move.second);
            if (receiver)
                receiver->treeManagerWillMoveItemAtIndex(manager, from, parent, to, parent);
            if (parent)
                parent->moveChildAtIndex(qsizetype(from), qsizetype(to));
            else
                rootNodes.move(qsizetype(from), qsizetype(to));
            if (receiver)
                receiver->treeManagerDidMoveItemAtIndex(manager, from, parent, to, parent);
        }
    };
    // When the new list is the current one with nodes left out, or with nodes added, it takes
    // the place of the current list whole, with the same calls around it as one by one: no
    // removal or insertion shifts the rest of the list, and none copies the list that
    // `current` still shares.
    QMTreeNodeList &list = parent ? parent->mutableChildNodes() : rootNodes;
    if (const std::optional<QMIndexSet> deleted = positionsLeftOut(current, result)) {
        takenOut.append(current);
        if (receiver)
            receiver->treeManagerWillDeleteItemsAtIndexPaths(manager, *deleted, parent);
        if (parent) {
            for (const quint64 position : *deleted)
                current[qsizetype(position)]->m_parentNode.reset();
        }
        list = result;
        if (receiver)
            receiver->treeManagerDidDeleteItemsAtIndexPaths(manager, *deleted, parent);
    } else if (const std::optional<QMIndexSet> inserted = positionsLeftOut(result, current)) {
        // No node stands twice in `result` here.
        for (const quint64 position : *inserted)
            takeOutOfOtherList(manager, receiver, result[qsizetype(position)], parent);
        if (receiver)
            receiver->treeManagerWillInsertItemsAtIndexPaths(manager, *inserted, parent);
        if (parent) {
            for (const quint64 position : *inserted)
                parent->checkAdoptable(*result[qsizetype(position)]);
        }
        list = result;
        if (parent) {
            for (const quint64 position : *inserted)
                parent->adopt(result[qsizetype(position)]);
        }
        if (receiver)
            receiver->treeManagerDidInsertItemsAtIndexPaths(manager, *inserted, parent);
    } else {
        Comparing::compareIndexesOfObjectsWithIndexesOfObjectsInArray(current, result,
                                                                      applyChanges);
    }
}

// A node that the tree shows in another child list leaves it before it is inserted here, as a
// reported delete there: insertion alone would take it out of its old parent's list unreported
// (or, at the root level, leave it standing in two lists), and a view following the delegate
// would lose track of that list.
void QMTreeManager::Private::takeOutOfOtherList(QMTreeManager &manager,
                                                QMTreeManagerDelegate *receiver,
                                                const QMTreeNodePointer &node,
                                                const QMTreeNodePointer &parent)
{
    const QMTreeNodePointer oldParent = node->parentNode();
    QMTreeNodePointer listOwner;
    QMTreeNodeList *list = nullptr;
    if (oldParent && oldParent != parent) {
        // Only a parent of this tree: a new node still names its parent in the new tree.
        if (lookUp(nodesByIdentifier, oldParent->identifier()) != oldParent)
            return;
        listOwner = oldParent;
        list = &oldParent->mutableChildNodes();
    } else if (!oldParent && parent) {
        list = &rootNodes;
    } else {
        return;
    }
    const qsizetype index = list->indexOf(node);
    if (index < 0)
        return;
    const QMIndexSet indexes {quint64(index)};
    if (receiver)
        receiver->treeManagerWillDeleteItemsAtIndexPaths(manager, indexes, listOwner);
    takenOut.append(*list);
    if (listOwner)
        listOwner->removeChildAtIndex(index);
    else
        rootNodes.removeAt(index);
    if (receiver)
        receiver->treeManagerDidDeleteItemsAtIndexPaths(manager, indexes, listOwner);
}

void QMTreeManager::Private::sortRecursively(QMTreeNodeList &list)
{
    QMSortNodes(list, sortDescriptors);
    for (const QMTreeNodePointer &node : std::as_const(list)) {
        if (!node->isLeaf())
            sortRecursively(node->mutableChildNodes());
    }
}

QMTreeManager::QMTreeManager()
    : d(std::make_unique<Private>())
{ }

QMTreeManager::QMTreeManager(const QMTreeNodeList &rootNodes)
    : QMTreeManager()
{
    checkNodes(rootNodes);
    d->rootNodes = rootNodes;
    enterRecursively(d->nodesByIdentifier, rootNodes);
}

std::unique_ptr<QMTreeManager>
QMTreeManager::treeManagerWithRootNodes(const QMTreeNodeList &rootNodes)
{
    return std::make_unique<QMTreeManager>(rootNodes);
}

QMTreeManager::~QMTreeManager() = default;

bool QMTreeManager::usesIncrementalUpdates() const
{
    return d->incremental;
}

void QMTreeManager::setUsesIncrementalUpdates(bool incremental)
{
    d->incremental = incremental;
}

bool QMTreeManager::isFiltering() const
{
    return d->filtering;
}

void QMTreeManager::setFiltering(bool filtering)
{
    d->filtering = filtering;
}

std::shared_ptr<QMTreeManagerDelegate> QMTreeManager::delegate() const
{
    return d->delegate.lock();
}

void QMTreeManager::setDelegate(const std::shared_ptr<QMTreeManagerDelegate> &delegate)
{
    d->delegate = delegate;
}

const QMSortDescriptorList &QMTreeManager::sortDescriptors() const
{
    return d->sortDescriptors;
}

void QMTreeManager::setSortDescriptors(const QMSortDescriptorList &descriptors)
{
    d->sortDescriptors = descriptors;
    applySortDescriptorsToParentNode(nullptr);
}

const QMTreeNodePredicate &QMTreeManager::filterPredicate() const
{
    return d->filterPredicate;
}

void QMTreeManager::setFilterPredicate(const QMTreeNodePredicate &predicate)
{
    d->filterPredicate = predicate;
    applyFilterPredicate();
}

const QMTreeManager::UpdateHandler &QMTreeManager::updateHandler() const
{
    return d->updateHandler;
}

void QMTreeManager::setUpdateHandler(const UpdateHandler &handler)
{
    d->updateHandler = handler;
}

QMTreeNodeList QMTreeManager::rootNodes() const
{
    return d->rootNodes;
}

QMTreeNodeList &QMTreeManager::mutableRootNodes()
{
    return d->rootNodes;
}

void QMTreeManager::setMutableRootNodes(const QMTreeNodeList &nodes)
{
    d->rootNodes = nodes;
}

const std::optional<QMTreeNodeList> &QMTreeManager::unfilteredRootNodesCopy() const
{
    return d->unfilteredRootNodesCopy;
}

void QMTreeManager::setUnfilteredRootNodesCopy(const std::optional<QMTreeNodeList> &nodes)
{
    d->unfilteredRootNodesCopy = nodes;
}

QMTreeManager::NodeMap &QMTreeManager::nodesByIdentifierMap()
{
    return d->nodesByIdentifier;
}

void QMTreeManager::setNodesByIdentifierMap(const NodeMap &map)
{
    d->nodesByIdentifier = map;
}

QMTreeManager::NodeMap &QMTreeManager::unfilteredNodesByIdentifierMap()
{
    return d->unfilteredNodesByIdentifier;
}

void QMTreeManager::setUnfilteredNodesByIdentifierMap(const NodeMap &map)
{
    d->unfilteredNodesByIdentifier = map;
}

QMTreeNodePointer QMTreeManager::nodeForIdentifier(const QString &identifier) const
{
    return Private::lookUp(d->nodesByIdentifier, identifier);
}

void QMTreeManager::updateRootNodesWithNodes(const QMTreeNodeList &nodes)
{
    updateParentNode(nullptr, nodes);
}

void QMTreeManager::updateParentNode(const QMTreeNodePointer &parent, const QMTreeNodeList &nodes)
{
    d->merge(*this, parent, nodes, true);
}

void QMTreeManager::applySortDescriptorsToParentNode(const QMTreeNodePointer &parent)
{
    d->sortRecursively(parent ? parent->mutableChildNodes() : d->rootNodes);
}

void QMTreeManager::applyFilterPredicate()
{
    if (d->filterPredicate) {
        if (!d->filtering) {
            d->filtering = true;
            if (!d->unfilteredRootNodesCopy) {
                d->unfilteredRootNodesCopy = makeDeepCopyOfNodes(d->rootNodes);
                enterRecursively(d->unfilteredNodesByIdentifier, *d->unfilteredRootNodesCopy);
            }
        }
        d->merge(*this, nullptr, makeDeepCopyOfNodes(*d->unfilteredRootNodesCopy), false);
    } else if (d->filtering) {
        d->filtering = false;
        if (d->unfilteredRootNodesCopy) {
            const QMTreeNodeList unfiltered = *d->unfilteredRootNodesCopy;
            d->merge(*this, nullptr, unfiltered, false);
            d->unfilteredRootNodesCopy.reset();
            d->unfilteredNodesByIdentifier.clear();
        }
    }
}

void QMTreeManager::updateNodesByIdentifierMapRecursivelyWithChildNodes(const QMTreeNodeList &nodes)
{
    checkNodes(nodes);
    enterRecursively(d->nodesByIdentifier, nodes);
}

void QMTreeManager::updateUnfilteredNodesByIdentifierMapRecursivelyWithChildNodes(
        const QMTreeNodeList &nodes)
{
    checkNodes(nodes);
    enterRecursively(d->unfilteredNodesByIdentifier, nodes);
}

QMTreeNodeList QMTreeManager::makeDeepCopyOfNodes(const QMTreeNodeList &nodes)
{
    checkNodes(nodes);
    QMTreeNodeList copies;
    copies.reserve(nodes.size());
    for (const QMTreeNodePointer &node : nodes)
        copies.append(node->copy());
    return copies;
}

QMTreeNodeList QMTreeManager::updateNodeList(const QMTreeNodeList &oldList,
                                             const QMTreeNodeList &newList,
                                             const UpdateHandler &updateHandler)
{
    QMTreeManager manager(oldList);
    manager.setUpdateHandler(updateHandler);
    manager.updateRootNodesWithNodes(newList);
    return manager.rootNodes();
}

QMTreeNodePointer QMTreeManager::updateTree(const QMTreeNodePointer &oldTree,
                                            const QMTreeNodePointer &newTree,
                                            const UpdateHandler &updateHandler)
{
    const QMTreeNodeList merged = updateNodeList({oldTree}, {newTree}, updateHandler);
    return merged.value(0);
}
