#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMIndexSet.h>
#include <QMFoundation/tree/QMSortDescriptor.h>
#include <QMFoundation/tree/QMTreeNode.h>

#include <QHash>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QMTreeManager;

/// A yes/no test of a node; an empty function is "no filter".
using QMTreeNodePredicate = std::function<bool(const QMTreeNode &node)>;

/// Observes a tree manager's merges, so that an outline view can animate them. Every function is
/// optional (the defaults do nothing). `parent` is the node whose child list changes, or null for
/// the root list; index sets are positions in that child list. Calls come synchronously on the
/// thread that runs the merge.
class QMF_CORE_EXPORT QMTreeManagerDelegate
{
public:
    virtual ~QMTreeManagerDelegate();
    /// For every new node whose identifier the tree knows: whether the existing node counts as
    /// changed. An answer replaces the update handler's (which has run first); std::nullopt, the
    /// default, means "not implemented" and keeps the handler's.
    virtual std::optional<bool> treeManagerUpdateItem(QMTreeManager &manager,
                                                      const QMTreeNodePointer &existingNode,
                                                      const QMTreeNodePointer &newNode);
    /// Incremental mode: once per merged child list, before its deletes, with the existing nodes
    /// reported as changed (possibly none).
    virtual void treeManagerDidUpdateItems(QMTreeManager &manager, const QMTreeNodeList &nodes);
    /// Before the deletes of one merged child list: the positions about to be deleted.
    virtual void treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &manager,
                                                        const QMIndexSet &indexes,
                                                        const QMTreeNodePointer &parent);
    /// After the deletes of one merged child list: the positions deleted.
    virtual void treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &manager,
                                                       const QMIndexSet &indexes,
                                                       const QMTreeNodePointer &parent);
    /// Before the inserts of one merged child list: the positions (in the list after the inserts)
    /// about to be filled.
    virtual void treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &manager,
                                                        const QMIndexSet &indexes,
                                                        const QMTreeNodePointer &parent);
    /// After the inserts of one merged child list: the positions filled.
    virtual void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &manager,
                                                       const QMIndexSet &indexes,
                                                       const QMTreeNodePointer &parent);
    /// One move within one child list: `toIndex` counts in the list without the moved node.
    virtual void treeManagerWillMoveItemAtIndex(QMTreeManager &manager, qint64 fromIndex,
                                                const QMTreeNodePointer &fromParent, qint64 toIndex,
                                                const QMTreeNodePointer &toParent);
    /// After one move (see treeManagerWillMoveItemAtIndex()).
    virtual void treeManagerDidMoveItemAtIndex(QMTreeManager &manager, qint64 fromIndex,
                                               const QMTreeNodePointer &fromParent, qint64 toIndex,
                                               const QMTreeNodePointer &toParent);
};

/// Owns a tree of QMTreeNodes that an outline view displays and merges freshly built versions of
/// it (or of one node's children) into it while keeping node identity.
///
/// Merging, `updateParentNode(parent, newChildren)` (parent null for the root list), for each new
/// node N in order:
/// 1. When the tree knows N's identifier (anywhere, at any depth) the existing node E takes N's
///    place; the update handler (E, N) and then the delegate's treeManagerUpdateItem() say whether
///    E changed. Otherwise N itself enters the tree.
/// 2. N's children are merged into that node's children the same way, depth first, before this
///    level goes on (and, in incremental mode, applied and reported).
/// 3. With a filter predicate, a node left without children is kept only if the predicate accepts
///    it; a node with children always stays, so a parent whose children were all filtered out is
///    tested itself.
/// The result is sorted by the sort descriptors (a stable sort). Then:
/// - non-incremental mode replaces the child list with the result, calling no delegate function
///   but treeManagerUpdateItem(); the placed nodes of a parent's list are linked to that parent
///   (root nodes keep their links, as with incremental insertion at the root level);
/// - incremental mode reports the changed nodes (treeManagerDidUpdateItems), compares the current
///   child list with the result (QMArrayComparator, by identity) and applies the deletes (highest
///   first), the inserts (ascending) and then each move, each group between its will/did delegate
///   calls. A list whose order and instances already match skips the comparison. A node that
///   the tree shows in another child list (one not merged yet, or the root list) first leaves
///   that list as a delete reported there, so that each list's calls describe its changes
///   exactly and no node stands in two lists.
/// Nodes that a merge takes out of a list stay alive until the outermost merge returns, so a
/// node that moves to another parent keeps its instance whichever of the two lists is merged
/// first.
///
/// Sort descriptors and the filter predicate take effect when assigned: setSortDescriptors()
/// re-sorts every level at once with no delegate call; setFilterPredicate() filters (keeping a
/// deep copy of the unfiltered tree) or, given an empty function, brings back what was hidden,
/// both as a merge of the root list. While a filter is in force, merges keep the unfiltered copy
/// current. Nodes that come back from the copy are the existing instances where the tree still
/// knows their identifiers, and otherwise copies without represented objects. Bringing hidden
/// nodes back is a merge of such copies, so the update handler then sees new nodes without
/// represented objects: a handler that copies the represented object should keep the existing
/// one when the new node has none.
///
/// Identifiers are global to the tree: nodesByIdentifierMap() holds one node per identifier, held
/// weakly (an entry reads as absent once its node is destroyed). A new tree that names the same
/// identifier twice in one child list places one instance twice, in either mode. In incremental
/// mode the array comparison then decides: where it fails (the list needs moves, or its length
/// does not add up, as when the one instance replaces two nodes) its
/// QMInternalInconsistencyException passes through with the comparison's own message ("Expected
/// same size of current array (...) and final array (...)", "Expected every element once in each
/// array, but <identifier> occurs more than once"); where it does not (only insertions), the node
/// is inserted at each of its positions. Exceptions of the update handler and the delegate pass
/// through as well. QMTreeModel, which cannot show one node in two rows, refuses such trees
/// before merging them.
///
/// The manager, its nodes and its delegate belong to one thread; every call runs synchronously on
/// it. A merge recurses once per level, so the tree's depth is bounded by the thread's stack (some
/// ten thousand levels on an 8 MiB stack). Cost: a merge is linear in the number of nodes plus the
/// comparisons of the child lists that changed (see QMArrayComparator).
class QMF_CORE_EXPORT QMTreeManager
{
public:
    /// (existing node, new node) -> whether the existing node changed; it typically copies the new
    /// node's title and represented object into the existing one.
    using UpdateHandler = std::function<bool(const QMTreeNodePointer &existingNode,
                                             const QMTreeNodePointer &newNode)>;
    /// Nodes by identifier, held weakly.
    using NodeMap = QHash<QString, std::weak_ptr<QMTreeNode>>;

    QMTreeManager();
    /// A manager whose root list is `rootNodes`, every node of their subtrees entered in
    /// nodesByIdentifierMap(); nothing is sorted or filtered.
    explicit QMTreeManager(const QMTreeNodeList &rootNodes);
    /// A new manager of `rootNodes`; see the constructor.
    static std::unique_ptr<QMTreeManager> treeManagerWithRootNodes(const QMTreeNodeList &rootNodes);
    ~QMTreeManager();
    QMTreeManager(const QMTreeManager &) = delete;
    QMTreeManager &operator=(const QMTreeManager &) = delete;

    /// Whether merges apply and report each change (incremental mode) or replace child lists
    /// silently; false at construction.
    bool usesIncrementalUpdates() const;
    /// Chooses incremental or non-incremental merges (see the class comment).
    void setUsesIncrementalUpdates(bool incremental);
    /// True while a filter predicate is in force, from applyFilterPredicate() with a predicate
    /// until it runs without one.
    bool isFiltering() const;
    /// Sets the filtering flag directly, for a caller that manages the unfiltered copy on its own.
    void setFiltering(bool filtering);
    /// Held weakly: reads as absent once destroyed.
    std::shared_ptr<QMTreeManagerDelegate> delegate() const;
    /// Sets the delegate, held weakly; null removes it.
    void setDelegate(const std::shared_ptr<QMTreeManagerDelegate> &delegate);
    /// The sort descriptors every merge sorts by; none at construction.
    const QMSortDescriptorList &sortDescriptors() const;
    /// Re-sorts the whole tree (applySortDescriptorsToParentNode(nullptr)), also for an equal list.
    void setSortDescriptors(const QMSortDescriptorList &descriptors);
    /// The filter predicate; empty (no filter) at construction.
    const QMTreeNodePredicate &filterPredicate() const;
    /// Runs applyFilterPredicate().
    void setFilterPredicate(const QMTreeNodePredicate &predicate);
    /// The update handler of merges; empty (existing nodes count as unchanged) at construction.
    const UpdateHandler &updateHandler() const;
    /// Sets the update handler of the next merges.
    void setUpdateHandler(const UpdateHandler &handler);

    /// The root list (a copy).
    QMTreeNodeList rootNodes() const;
    /// The root list itself, for a caller that keeps it consistent on its own.
    QMTreeNodeList &mutableRootNodes();
    /// Replaces the root list without a merge or a delegate call.
    void setMutableRootNodes(const QMTreeNodeList &nodes);
    /// While filtering: the deep copy of the unfiltered tree; otherwise none.
    const std::optional<QMTreeNodeList> &unfilteredRootNodesCopy() const;
    /// Replaces the unfiltered copy, for a caller that manages it on its own.
    void setUnfilteredRootNodesCopy(const std::optional<QMTreeNodeList> &nodes);
    /// The map of nodesByIdentifierMap() itself: every node of the tree under its identifier, held
    /// weakly.
    NodeMap &nodesByIdentifierMap();
    /// Replaces the identifier map.
    void setNodesByIdentifierMap(const NodeMap &map);
    /// The identifier map of the unfiltered copy, kept while filtering.
    NodeMap &unfilteredNodesByIdentifierMap();
    /// Replaces the identifier map of the unfiltered copy.
    void setUnfilteredNodesByIdentifierMap(const NodeMap &map);

    /// The tree's node with that identifier, or null.
    QMTreeNodePointer nodeForIdentifier(const QString &identifier) const;

    /// Merges `nodes` into the root list (see the class comment).
    void updateRootNodesWithNodes(const QMTreeNodeList &nodes);
    /// Merges `nodes` into `parent`'s child list, or into the root list for a null parent.
    void updateParentNode(const QMTreeNodePointer &parent, const QMTreeNodeList &nodes);
    /// Re-sorts `parent`'s child list (the root list for null) and every child list below it.
    void applySortDescriptorsToParentNode(const QMTreeNodePointer &parent);
    /// Brings the tree in line with filterPredicate() (see the class comment).
    void applyFilterPredicate();
    /// Enters each node and, depth first, its descendants under their identifiers.
    void updateNodesByIdentifierMapRecursivelyWithChildNodes(const QMTreeNodeList &nodes);
    /// As updateNodesByIdentifierMapRecursivelyWithChildNodes(), into the map of the unfiltered
    /// copy.
    void updateUnfilteredNodesByIdentifierMapRecursivelyWithChildNodes(const QMTreeNodeList &nodes);

    /// The deep copies (QMTreeNode::copy()) of `nodes`, in order.
    static QMTreeNodeList makeDeepCopyOfNodes(const QMTreeNodeList &nodes);

    /// Merges `newList` into `oldList` with a temporary manager (not incremental, no sorting or
    /// filtering) and returns the merged list.
    static QMTreeNodeList updateNodeList(const QMTreeNodeList &oldList,
                                         const QMTreeNodeList &newList,
                                         const UpdateHandler &updateHandler = {});
    /// The same for two single trees; returns the merged root.
    static QMTreeNodePointer updateTree(const QMTreeNodePointer &oldTree,
                                        const QMTreeNodePointer &newTree,
                                        const UpdateHandler &updateHandler = {});

private:
    class Private;
    std::unique_ptr<Private> d;
};
