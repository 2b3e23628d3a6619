#include "lists/QMListManager.h"

#include "errors/QMInternalInconsistencyException.h"

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

// Removes the positions of `indexes` from `list` in one sweep.
void removePositions(QMListItemList &list, const QMIndexSet &indexes)
{
    QMListItemList kept;
    kept.reserve(list.size() - qsizetype(indexes.count()));
    qsizetype next = 0;
    for (const QMIndexSet::Range &range : indexes.ranges()) {
        const auto location = qsizetype(std::min<quint64>(range.location, quint64(list.size())));
        const auto end = qsizetype(std::min<quint64>(range.end(), quint64(list.size())));
        for (; next < location; ++next)
            kept.append(std::move(list[next]));
        next = std::max(next, end);
    }
    for (; next < list.size(); ++next)
        kept.append(std::move(list[next]));
    list = std::move(kept);
}

// Inserts items[k] at positions[k] (ascending, each at its own position) in one sweep. A
// position past the end appends, as it would one by one.
void insertAtPositions(QMListItemList &list, const QList<quint64> &positions,
                       const QMListItemList &items)
{
    QMListItemList merged;
    merged.reserve(list.size() + items.size());
    qsizetype next = 0;
    for (qsizetype k = 0; k < items.size(); ++k) {
        while (quint64(merged.size()) < positions[k] && next < list.size())
            merged.append(std::move(list[next++]));
        merged.append(items[k]);
    }
    for (; next < list.size(); ++next)
        merged.append(std::move(list[next]));
    list = std::move(merged);
}

void requireItems(const QMListItemList &list, const char *name)
{
    const qsizetype empty = list.indexOf(nullptr);
    if (empty >= 0) {
        throw QMInternalInconsistencyException(
                QStringLiteral(
                        "Expected an item at every position of the %1, but position %2 holds none")
                        .arg(QLatin1String(name))
                        .arg(empty));
    }
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

} // namespace

QMListItemList QMListManager::updateList(const QMListItemList &oldList,
                                         const QMListItemList &newList,
                                         const UpdateHandler &updateHandler)
{
    requireItems(oldList, "old list");
    requireItems(newList, "new list");
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
    QMListItemList working = oldList;

    if (!changeset.deletes().isEmpty()) {
        QMIndexSet indexes;
        for (const QMListChangePointer &change : changeset.deletes()) {
            requirePosition(change->oldIndex() >= 0 && change->oldIndex() < working.size(), change,
                            working.size());
            indexes.addIndex(quint64(change->oldIndex()));
        }
        removePositions(working, indexes);
        if (const auto delegate = d->delegate.lock())
            delegate->listManagerDidDeleteItemsAtIndexPaths(indexes, working);
    }

    if (!changeset.inserts().isEmpty()) {
        QMIndexSet indexes;
        QList<quint64> positions;
        QMListItemList items;
        positions.reserve(changeset.inserts().size());
        items.reserve(changeset.inserts().size());
        for (const QMListChangePointer &change : changeset.inserts()) {
            requirePosition(change->index() >= 0
                                    && change->index()
                                            < working.size() + changeset.inserts().size(),
                            change, working.size());
            indexes.addIndex(quint64(change->index()));
            positions.append(quint64(change->index()));
            items.append(change->item());
        }
        // Insertion goes position by position in ascending order, whatever order the changes
        // came in (a comparator of the host's may list them otherwise).
        QList<qsizetype> order(positions.size());
        for (qsizetype k = 0; k < order.size(); ++k)
            order[k] = k;
        if (!std::is_sorted(positions.cbegin(), positions.cend())) {
            std::stable_sort(order.begin(), order.end(),
                             [&](qsizetype a, qsizetype b) { return positions[a] < positions[b]; });
            QList<quint64> sortedPositions;
            QMListItemList sortedItems;
            for (qsizetype k : std::as_const(order)) {
                sortedPositions.append(positions[k]);
                sortedItems.append(items[k]);
            }
            positions = sortedPositions;
            items = sortedItems;
        }
        insertAtPositions(working, positions, items);
        if (const auto delegate = d->delegate.lock())
            delegate->listManagerDidInsertItemsAtIndexPaths(indexes, working);
    }

    for (const QMListChangePointer &change : changeset.moves()) {
        const qint64 from = change->oldIndex();
        const qint64 to = change->index();
        requirePosition(from >= 0 && from < working.size() && to >= 0 && to < working.size(),
                        change, working.size());
        working.removeAt(from);
        working.insert(to, change->item());
        if (const auto delegate = d->delegate.lock())
            delegate->listManagerDidMoveItemAtIndex(from, to, working);
    }
    return working;
}
