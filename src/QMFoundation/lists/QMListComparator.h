#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMListChangeset.h>
#include <QMFoundation/lists/QMListItem.h>

/// Computes the changeset between two versions of a list. The list manager uses one through
/// this interface, so a host can put a comparator of its own in its place.
class QMF_CORE_EXPORT QMOrderedCollectionComparator
{
public:
    virtual ~QMOrderedCollectionComparator();
    /// The changeset that turns `oldItems` into `newItems`.
    virtual QMListChangeset compareList(const QMListItemList &oldItems,
                                        const QMListItemList &newItems) const = 0;
};

/// The list comparator: runs the array comparison on the two lists (identity decides, no
/// element comparator) and turns its result into change records, in this order: a delete per
/// removed position (ascending; `oldIndex` the old position, `index` QMNotFound), an insert per
/// inserted position (ascending; `index` the new position, `oldIndex` QMNotFound), then a move
/// per move pair in the order performed (`oldIndex` = from, `index` = to, both positions in the
/// working list at that moment). A move's item is the new list's item at `to`, or the old item
/// at the lowest position that is equal to it by value, when there is one.
///
/// To rebuild the new list, remove all deleted positions at once, insert all inserted items at
/// once (ascending), then apply each move in turn. Stateless; usable from any thread. Failures
/// of the array comparison (for example an item twice in a list) pass through as
/// QMInternalInconsistencyException.
class QMF_CORE_EXPORT QMListComparator : public QMOrderedCollectionComparator
{
public:
    /// The changeset as described above.
    QMListChangeset compareList(const QMListItemList &oldItems,
                                const QMListItemList &newItems) const override;
};
