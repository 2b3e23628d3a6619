#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMListComparator.h>
#include <QMFoundation/lists/QMListItem.h>
#include <QMFoundation/lists/QMListManager.h>

#include <QAbstractListModel>
#include <QByteArray>
#include <QHash>

#include <functional>
#include <memory>

/// A flat item model that shows a QMListItemList and follows its updates step by step, so that a
/// view animates exactly the deletes, inserts and moves of the list manager.
///
/// `setItems()` replaces the rows with a model reset. `updateItems(newItems, handler)` runs the
/// model's own QMListManager on (items(), newItems) and turns its steps into Qt's notifications:
/// - the deleted positions as one beginRemoveRows()/endRemoveRows() pair per contiguous range,
///   highest range first, so that the rows below keep their numbers;
/// - the inserted positions as one beginInsertRows()/endInsertRows() pair per contiguous range,
///   lowest first;
/// - each move as a beginMoveRows()/endMoveRows() pair (a move down to row t has the destination
///   t + 1 in Qt's terms);
/// - then dataChanged() for the rows whose item persists and whose role data the update handler
///   changed, one signal per run of adjacent rows.
/// Persisting items keep their instances, so QPersistentModelIndex follows them.
///
/// Change detection: for each old item that the manager matches, the model reads the item's role
/// data (display, identifier and the role provider's roles) just before the update handler runs
/// and again after the update, and compares the values with QMEqualValues(). This costs a few
/// role reads per matched item, never a comparison of every row with every row. Without an update
/// handler the model changes no item and reports no data change; changes made to items in any
/// other way are not seen by the model.
///
/// The model changes nothing until the manager has finished: when the manager (or the update
/// handler) throws, for example because two new items match one old item, the rows stay as they
/// were and the exception passes through; only the role data that the update handler had already
/// changed is reported with dataChanged() before that.
///
/// A host that runs its own QMListManager sets managerDelegate() as that manager's delegate and
/// passes items() as the old list; the model then follows the delegate calls as they come and
/// reports no data changes of its own.
///
/// The model belongs to the thread it lives on; call every function there. Functions that change
/// the rows throw QMInternalInconsistencyException when called while the model is reporting a
/// change (from a slot connected to its signals).
///
/// Cost of an update beyond the manager's own work: each step moves every row at most twice,
/// however many ranges it has, so an update is linear in the number of rows per step.
class QMF_CORE_EXPORT QMListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    /// The model's roles beyond Qt's own.
    enum Role : int {
        /// The item's identifier(), named "identifier".
        IdentifierRole = Qt::UserRole + 1,
    };

    /// The text of Qt::DisplayRole for an item.
    using DisplayFunction = std::function<QString(const QMListItemPointer &item)>;
    /// The value of one of the role provider's roles for an item.
    using RoleFunction = std::function<QVariant(const QMListItemPointer &item, int role)>;

    /// An empty model.
    explicit QMListModel(QObject *parent = nullptr);
    ~QMListModel() override;

    /// The items in row order.
    QMListItemList items() const;
    /// The item of a row, or null for a row outside the model.
    QMListItemPointer itemAt(int row) const;
    /// Replaces every row (a model reset). Throws QMInternalInconsistencyException "Expected an
    /// item at every position of the list, but position <i> holds none" for a null item. The
    /// list should hold each instance once: the comparison of a later update refuses one that
    /// stands twice.
    void setItems(const QMListItemList &items);
    /// Updates the rows to `newItems` through the model's list manager (see the class comment).
    /// `updateHandler(existingItem, newItem)` runs for every new item whose identifier an old
    /// item has; it typically copies the new data into the existing instance, which the model
    /// keeps.
    void updateItems(const QMListItemList &newItems,
                     const QMListManager::UpdateHandler &updateHandler = {});

    /// The comparator of the model's list manager: a QMListComparator unless replaced; setting
    /// none restores one.
    std::shared_ptr<QMOrderedCollectionComparator> comparator() const;
    /// Replaces the comparator; none restores a QMListComparator.
    void setComparator(std::shared_ptr<QMOrderedCollectionComparator> comparator);

    /// A delegate through which a host's own QMListManager drives the model. The manager's old
    /// list must be items(); a step that does not fit the rows (a deletion past the last row, a
    /// list after the step whose length disagrees, a null item) throws
    /// QMInternalInconsistencyException and leaves the rows as they were before that step. Once
    /// the model is destroyed the delegate does nothing.
    std::shared_ptr<QMListManagerDelegate> managerDelegate() const;

    /// Qt::DisplayRole: the item's description() unless a function is set; setting none
    /// restores description(). Reports dataChanged() for every row. When the display or role
    /// function throws inside data() (views call it from the event loop), data() gives no value
    /// and the exception goes to the uncaught-exception handler as "a role function of a list
    /// model".
    void setDisplayFunction(DisplayFunction function);
    /// Roles of the host's own: their names (for roleNames()) and the function that gives their
    /// values. Replaces the previous provider with a model reset, since the role names change.
    /// Throws "Invalid parameter not satisfying: !roleNames.contains(Qt::DisplayRole) &&
    /// !roleNames.contains(IdentifierRole)" when the names claim the model's own roles, and
    /// "Invalid parameter not satisfying: roleNames.isEmpty() || function" when roles come
    /// without a function.
    void setRoleProvider(const QHash<int, QByteArray> &roleNames, RoleFunction function);

    /// The number of items; 0 for a valid `parent` (the list has no children).
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    /// The value of `role` for the item at `index`: its display text, its identifier or the role
    /// provider's value; an invalid QVariant for an index of another model, a row out of range, an
    /// unknown role or a role function that threw.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /// "display", "identifier" and the role provider's names.
    QHash<int, QByteArray> roleNames() const override;

private:
    class Private;
    std::unique_ptr<Private> d;
};
