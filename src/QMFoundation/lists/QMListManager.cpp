#include <QMFoundation/lists/QMListManager.h>

#include "QMFoundation/lists/QMListItemChecks_p.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QHash>

#include <algorithm>

QMListManagerDelegate::~QMListManagerDelegate() = default;
void QMListManagerDelegate::listManagerDidDeleteItemsAtIndexPaths(const QMIndexSet &,
                                                                  const QMListItemList &)
{ }
void QMListManagerDelegate::listManagerDidInsertItemsAtIndexPaths(const QMIndexSet &,
                                                                  const QMListItemList &)
{ }
void QMListManagerDelegate::listManagerDidMoveItemAtIndex(qint64, qint64, const QMListItemList &) {
}

class QMListManager::Private
{
public:
    std::weak_ptr<QMListManagerDelegate> delegate;
    std::shared_ptr<QMOrderedCollectionComparator> comparator
            = std::make_shared<QMListComparator>();
};

QMListManager::QMListManager()
    : d(std::make_unique<Private>())
{ }

QMListManager::~QMListManager() = default;

std::shared_ptr<QMListManagerDelegate> QMListManager::delegate() const
{
    return d->delegate.lock();
}

void QMListManager::setDelegate(const std::shared_ptr<QMListManagerDelegate> &delegate)
{
    d->delegate = delegate;
}

std::shared_ptr<QMOrderedCollectionComparator> QMListManager::comparator() const
{
    return d->comparator;
}

void QMListManager::setComparator(std::shared_ptr<QMOrderedCollectionComparator> comparator)
{
    d->comparator = comparator ? std::move(comparator) : std::make_shared<QMListComparator>();
}

namespace {

// Removes the positions of `indexes` (all inside the list) from `list` in one sweep.
void removePositions(QMListItemList &list, const QMIndexSet &indexes)
{
    QMListItemList kept;
    kept.reserve(list.size() - qsizetype(indexes.count()));
    qsizetype next = 0;
    for (const QMIndexSet::Range &range : indexes.ranges()) {
        for (; next < qsizetype(range.location); ++next)
            kept.append(std::move(list[next]));
        next = qsizetype(range.end());
    }
    for (; next < list.size(); ++next)
        kept.append(std::move(list[next]));
    list = std::move(kept);
}

// Inserts each item at its position (ascending, each at its own position) in one sweep.
void insertAtPositions(QMListItemList &list,
                       const QList<std::pair<quint64, QMListItemPointer>> &insertions)
{
    QMListItemList merged;
    merged.reserve(list.size() + insertions.size());
    qsizetype next = 0;
    for (const auto &[position, item] : insertions) {
        while (quint64(merged.size()) < position && next < list.size())
            merged.append(std::move(list[next++]));
        merged.append(item);
    }
    for (; next < list.size(); ++next)
        merged.append(std::move(list[next]));
    list = std::move(merged);
}

void requirePosition(bool inside, const QMListChangePointer &change, qsizetype count)
{
    if (!inside) {
        throw QMInternalInconsistencyException(
                QStringLiteral("Expected the change %1 to fit a list of %2 items")
                        .arg(change->description())
                        .arg(count));
    }
}

// Two changes of one step at the same position would make the index set the delegate receives
// disagree with the items the step changes.
void requireDistinctPositions(const QMIndexSet &indexes, qsizetype changes, const char *kind)
{
    if (indexes.count() != quint64(changes)) {
        throw QMInternalInconsistencyException(
                QStringLiteral(
                        "Expected each %1 at a position of its own, but %2 %1s share %3 positions")
                        .arg(QLatin1String(kind))
                        .arg(changes)
                        .arg(indexes.count()));
    }
}

} // namespace

QMListItemList QMListManager::updateList(const QMListItemList &oldList,
                                         const QMListItemList &newList,
                                         const UpdateHandler &updateHandler)
{
    QMRequireListItems(oldList, "old list");
    QMRequireListItems(newList, "new list");
    QHash<QString, QMListItemPointer> oldByIdentifier;
    oldByIdentifier.reserve(oldList.size());
    for (const QMListItemPointer &item : oldList)
        oldByIdentifier.insert(item->identifier(), item);

    QMListItemList merged = newList;
    for (qsizetype i = 0; i < newList.size(); ++i) {
        const auto found = oldByIdentifier.constFind(newList[i]->identifier());
        if (found == oldByIdentifier.cend())
            continue;
        if (updateHandler)
            updateHandler(*found, newList[i]);
        merged[i] = *found;
    }

    const std::shared_ptr<QMOrderedCollectionComparator> comparator = d->comparator;
    const QMListChangeset changeset = comparator->compareList(oldList, merged);
    // Every step is checked before the first one is applied, so that a changeset that does not
    // fit the list (from a host's comparator) fails before the delegate hears of any step.
    QMIndexSet deleted;
    for (const QMListChangePointer &change : changeset.deletes()) {
        requirePosition(change->oldIndex() >= 0 && change->oldIndex() < oldList.size(), change,
                        oldList.size());
        deleted.addIndex(quint64(change->oldIndex()));
    }
    requireDistinctPositions(deleted, changeset.deletes().size(), "delete");
    const qsizetype finalSize
            = oldList.size() - changeset.deletes().size() + changeset.inserts().size();

    // Insertion goes position by position in ascending order, whatever order the changes came in
    // (a comparator of the host's may list them otherwise).
    QMIndexSet inserted;
    QList<std::pair<quint64, QMListItemPointer>> insertions;
    insertions.reserve(changeset.inserts().size());
    for (const QMListChangePointer &change : changeset.inserts()) {
        requirePosition(change->index() >= 0 && change->index() < finalSize && change->item(),
                        change, finalSize);
        inserted.addIndex(quint64(change->index()));
        insertions.append({quint64(change->index()), change->item()});
    }
    requireDistinctPositions(inserted, changeset.inserts().size(), "insert");
    std::stable_sort(insertions.begin(), insertions.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    for (const QMListChangePointer &change : changeset.moves()) {
        requirePosition(change->oldIndex() >= 0 && change->oldIndex() < finalSize
                                && change->index() >= 0 && change->index() < finalSize
                                && change->item(),
                        change, finalSize);
    }

    QMListItemList working = oldList;
    if (!deleted.isEmpty()) {
        removePositions(working, deleted);
        if (const auto delegate = d->delegate.lock())
            delegate->listManagerDidDeleteItemsAtIndexPaths(deleted, working);
    }
    if (!inserted.isEmpty()) {
        insertAtPositions(working, insertions);
        if (const auto delegate = d->delegate.lock())
            delegate->listManagerDidInsertItemsAtIndexPaths(inserted, working);
    }
    for (const QMListChangePointer &change : changeset.moves()) {
        const qint64 from = change->oldIndex();
        const qint64 to = change->index();
        // One rotation of the elements between the two positions rather than a removal and an
        // insertion that each shift the whole tail; the change's item (the lowest old item
        // equal to the one moved) then takes the target position.
        working.move(from, to);
        working[to] = change->item();
        if (const auto delegate = d->delegate.lock())
            delegate->listManagerDidMoveItemAtIndex(from, to, working);
    }
    return working;
}
