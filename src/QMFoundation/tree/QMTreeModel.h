#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/tree/QMTreeManager.h>

#include <QAbstractItemModel>
#include <QByteArray>
#include <QHash>

#include <functional>
#include <memory>

/// An item model that shows a QMTreeNode tree with one column and follows its merges step by
/// step, so that a tree view animates exactly what changed and keeps expansion, selection and
/// persistent indexes of the nodes that persist.
///
/// The model owns a QMTreeManager in incremental mode and turns its delegate calls into Qt's
/// notifications:
/// - each will/did delete pair becomes beginRemoveRows()/endRemoveRows() pairs under the parent's
///   index, one per contiguous range, highest first; each will/did insert pair likewise, lowest
///   first;
/// - each move becomes one beginMoveRows()/endMoveRows() pair within its parent (a move down to
///   row t has the destination t + 1 in Qt's terms);
/// - a node that a merge takes to another parent (or to or from the root list) first leaves its
///   old place with a removal of its own, so that no node ever shows in two places; its
///   persistent indexes, and those of the nodes below it, become invalid;
/// - nodes reported as changed emit dataChanged() once the merge is done, one signal per run of
///   adjacent rows;
/// - setSortDescriptors() re-sorts as one layout change (persistent indexes follow their nodes),
///   and setFilterPredicate() hides and brings back rows as removals and insertions.
/// Changes below a node that the model does not show (a new subtree being merged before it is
/// inserted) are not reported: the subtree arrives with its parent's insertion.
///
/// An index's internal pointer is its node. The model keeps, for every node it shows, the parent
/// it shows it under and its row there, so index(), parent() and rowCount() cost O(1); the tree's
/// own links cannot tell that (a root node's parentNode() may name an old parent). Keeping these
/// costs a walk of every subtree that is inserted or removed, which the merge that brought it
/// pays for anyway.
///
/// Qt::DisplayRole is the node's title, or its identifier when the title is null, unless a
/// display function is set; IdentifierRole ("identifier") is the identifier.
///
/// The model belongs to the thread it lives on. The tree must change only through the model.
/// Functions that change the tree (and setUpdateHandler()) throw
/// QMInternalInconsistencyException "Expected no change of the tree model while it reports one"
/// when called while the model reports a change: from a slot connected to its change signals,
/// from the update handler or from the delegate. When a merge throws (a new tree that names a
/// node inside its own subtree, a throwing update handler), the steps already applied stay
/// applied and reported, so the model and its views still agree.
class QMF_CORE_EXPORT QMTreeModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    /// The model's roles beyond Qt's own.
    enum Role : int {
        /// The node's identifier, named "identifier".
        IdentifierRole = Qt::UserRole + 1,
    };

    /// The value of Qt::DisplayRole for a node.
    using DisplayFunction = std::function<QVariant(const QMTreeNode &node)>;
    /// The value of one of the role provider's roles for a node.
    using RoleFunction = std::function<QVariant(const QMTreeNode &node, int role)>;

    /// An empty model.
    explicit QMTreeModel(QObject *parent = nullptr);
    ~QMTreeModel() override;

    /// The root list in row order.
    QMTreeNodeList rootNodes() const;
    /// Replaces the tree with `nodes` (a model reset), as a new manager with those roots would;
    /// the sort descriptors, filter and update handler stay and apply to the new tree. Throws,
    /// before anything changes, "Expected a node at every position of the tree" for a null node
    /// and "Expected each node in one place of the tree, but <identifier> stands in two" for an
    /// instance that stands twice.
    void setRootNodes(const QMTreeNodeList &nodes);
    /// Merges `nodes` into the root list (see QMTreeManager::updateParentNode()). A row shows one
    /// node, so a new tree that names one identifier twice in one child list (which the manager
    /// would place twice) throws, before anything changes, "Expected each node in one place of
    /// the tree, but <identifier> stands in two".
    void updateRootNodes(const QMTreeNodeList &nodes);
    /// Merges `nodes` into `parent`'s children, as updateRootNodes() does; `parent` must be a node
    /// of the tree: "Expected a node of the tree as the parent of the merge".
    void updateChildNodes(const QMTreeNodePointer &parent, const QMTreeNodeList &nodes);

    /// The sort descriptors of the model's manager.
    const QMSortDescriptorList &sortDescriptors() const;
    /// Re-sorts the tree by `descriptors`, as the manager does, and moves the rows to match.
    void setSortDescriptors(const QMSortDescriptorList &descriptors);
    /// The filter predicate of the model's manager.
    const QMTreeNodePredicate &filterPredicate() const;
    /// Filters the tree by `predicate` (an empty function shows everything again), as the manager
    /// does, and updates the rows to match.
    void setFilterPredicate(const QMTreeNodePredicate &predicate);
    /// True while a filter predicate is in force.
    bool isFiltering() const;
    /// Sets the manager's update handler for the next merges.
    void setUpdateHandler(const QMTreeManager::UpdateHandler &handler);
    /// A host's delegate that receives the manager's calls after the model has handled each one
    /// (its treeManagerUpdateItem() answer counts as the manager's delegate answer). Held weakly.
    void setDelegate(const std::shared_ptr<QMTreeManagerDelegate> &delegate);
    /// The manager, for reading (nodeForIdentifier(), the unfiltered copy).
    const QMTreeManager &manager() const;

    /// The node of an index, or null for the invalid index, indexes of other models and indexes
    /// of nodes the model no longer shows.
    QMTreeNodePointer nodeForIndex(const QModelIndex &index) const;
    /// The index of a node the model shows, or the invalid index.
    QModelIndex indexForNode(const QMTreeNodePointer &node) const;

    /// Qt::DisplayRole's value; none restores "title, else identifier". Reports dataChanged()
    /// for every row. When the display or role function throws inside data() (views call it
    /// from the event loop), data() gives no value and the exception goes to the
    /// uncaught-exception handler as "a role function of a tree model".
    void setDisplayFunction(DisplayFunction function);
    /// Roles of the host's own, with their names; replaces the previous ones with a model reset.
    /// Throws "Invalid parameter not satisfying: !roleNames.contains(Qt::DisplayRole) &&
    /// !roleNames.contains(IdentifierRole)" and "Invalid parameter not satisfying:
    /// roleNames.isEmpty() || function".
    void setRoleProvider(const QHash<int, QByteArray> &roleNames, RoleFunction function);

    /// The index of the row-th child of `parent`'s node (of the root list for the invalid index);
    /// the invalid index for a column other than 0 or a row out of range.
    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    /// The index of the node's parent, or the invalid index for a root node.
    QModelIndex parent(const QModelIndex &child) const override;
    /// The number of children of `parent`'s node, or of root nodes for the invalid index.
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    /// 1: the model has one column.
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    /// Whether `parent`'s node has children.
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    /// The value of `role` for the node at `index`: the display function's value, the identifier or
    /// the role provider's; an invalid QVariant for an index the model does not show, an unknown
    /// role or a role function that threw.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /// Qt's roles with "identifier" for IdentifierRole and the role provider's names.
    QHash<int, QByteArray> roleNames() const override;
    /// Sorts by title (column 0) through setSortDescriptors(); any other column clears the sort
    /// descriptors, which keeps the current order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    class Private;
    std::unique_ptr<Private> d;
};
