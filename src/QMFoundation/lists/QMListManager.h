#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMIndexSet.h>
#include <QMFoundation/lists/QMListComparator.h>
#include <QMFoundation/lists/QMListItem.h>

#include <functional>
#include <memory>

/// Receives each step of a list update with the list as it stands after the step, so that a
/// list view can animate exactly these steps. Called on the thread that runs the update.
class QMF_CORE_EXPORT QMListManagerDelegate
{
public:
    virtual ~QMListManagerDelegate();
    /// The positions (in the old list) deleted all at once, and the list after the deletion.
    virtual void listManagerDidDeleteItemsAtIndexPaths(const QMIndexSet &indexes,
                                                       const QMListItemList &list);
    /// The positions (in the new list) inserted all at once, and the list after the insertion.
    virtual void listManagerDidInsertItemsAtIndexPaths(const QMIndexSet &indexes,
                                                       const QMListItemList &list);
    /// One move from `fromIndex` to `toIndex` (positions in the list just before the move; the
    /// target counted after removing the item), and the list after the move.
    virtual void listManagerDidMoveItemAtIndex(qint64 fromIndex, qint64 toIndex,
                                               const QMListItemList &list);
};

/// Updates a displayed list to a newly fetched version while keeping the identity of the items
/// that persist.
///
/// `updateList(oldList, newList, handler)`:
/// 1. Every new item whose identifier an old item has (the later old item, when two share one)
///    is replaced by that old instance, after `handler(oldItem, newItem)` has run (it typically
///    copies the new data into the old instance).
/// 2. The comparator computes the changeset between the old list and this merged list.
/// 3. On a working copy of the old list the manager deletes all deleted positions at once, then
///    inserts all inserted items at once, then applies each move in turn, telling the delegate
///    after each step (a step with nothing to do is not reported).
/// 4. It returns the working copy, which now equals the merged list.
///
/// Everything runs synchronously on the calling thread. Failures of the comparison (for example
/// two new items matching one old item, which puts one instance twice into the merged list)
/// pass through as QMInternalInconsistencyException, before any delegate call; an exception
/// from the update handler passes through likewise.
class QMF_CORE_EXPORT QMListManager
{
public:
    /// (existing old item, new item); its result is not used.
    using UpdateHandler = std::function<void(const QMListItemPointer &existingItem,
                                             const QMListItemPointer &newItem)>;

    QMListManager();
    ~QMListManager();
    QMListManager(const QMListManager &) = delete;
    QMListManager &operator=(const QMListManager &) = delete;

    /// The delegate, held weakly: it reads as absent once it is destroyed.
    std::shared_ptr<QMListManagerDelegate> delegate() const;
    /// Sets the delegate, held weakly; null removes it.
    void setDelegate(const std::shared_ptr<QMListManagerDelegate> &delegate);
    /// A QMListComparator unless replaced. Setting none restores a QMListComparator.
    std::shared_ptr<QMOrderedCollectionComparator> comparator() const;
    /// Replaces the comparator.
    void setComparator(std::shared_ptr<QMOrderedCollectionComparator> comparator);

    /// Merges `newList` into `oldList` as described above and returns the merged list.
    QMListItemList updateList(const QMListItemList &oldList, const QMListItemList &newList,
                              const UpdateHandler &updateHandler = {});

private:
    class Private;
    std::unique_ptr<Private> d;
};
