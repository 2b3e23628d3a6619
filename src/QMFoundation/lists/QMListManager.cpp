#include <QMFoundation/lists/QMListManager.h>

#include "QMFoundation/lists/QMListItemChecks_p.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QHash>

#include <algorithm>
#include <array>
#include <bit>
#include <vector>

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

// Calls use(position, identifier, hash) for each item in order. The hash is Qt's seeded string
// hash, so identifiers chosen to collide cannot make the lookups quadratic. Identifiers are read
// kAhead items before their use and prefetch(hash) is called then: the table slots of
// consecutive identifiers lie far apart, so for a long list nearly every probe misses the
// cache, and asking early keeps several of those misses in flight instead of one at a time
// (three to four times faster at 100,000 items).
template<typename Prefetch, typename Use>
void forEachIdentifier(const QMListItemList &items, const Prefetch &prefetch, const Use &use)
{
    constexpr size_t kAhead = 16;
    const size_t seed = QHashSeed::globalSeed();
    std::array<QString, kAhead> identifiers;
    std::array<size_t, kAhead> hashes {};
    const auto count = size_t(items.size());
    const auto read = [&](size_t position) {
        QString &identifier = identifiers[position % kAhead];
        identifier = items[qsizetype(position)]->identifier();
        hashes[position % kAhead] = qHash(identifier, seed);
        prefetch(hashes[position % kAhead]);
    };
    for (size_t position = 0; position < std::min(count, kAhead); ++position)
        read(position);
    for (size_t position = 0; position < count; ++position) {
        QString identifier = std::move(identifiers[position % kAhead]);
        const size_t hash = hashes[position % kAhead];
        if (position + kAhead < count)
            read(position + kAhead);
        use(position, std::move(identifier), hash);
    }
}

// The old list's positions by identifier (a later item replaces an earlier one with the same
// identifier): open addressing with linear probing over one array of (hash, position) slots,
// beside the identifiers by position. Two allocations in all and no reference to the items,
// where a QHash of the items allocated per span and per key and touched every item's reference
// count twice.
class OldPositions
{
public:
    explicit OldPositions(const QMListItemList &items)
    {
        const size_t capacity = std::bit_ceil(std::max<size_t>(size_t(items.size()) * 2, 16));
        m_slots.assign(capacity, Slot {});
        m_mask = capacity - 1;
        m_identifiers.reserve(size_t(items.size()));
        forEachIdentifier(
                items, [this](size_t hash) { prefetch(hash); },
                [this](size_t position, QString identifier, size_t hash) {
                    m_identifiers.push_back(std::move(identifier));
                    insert(position, hash);
                });
    }

    void prefetch(size_t hash) const { __builtin_prefetch(&m_slots[hash & m_mask]); }

    // The position of the old item with this identifier, or -1.
    qsizetype find(const QString &identifier, size_t hash) const
    {
        for (size_t slot = hash & m_mask;; slot = (slot + 1) & m_mask) {
            const Slot &entry = m_slots[slot];
            if (entry.position < 0)
                return -1;
            if (entry.hash == hash && m_identifiers[size_t(entry.position)] == identifier)
                return entry.position;
        }
    }

private:
    struct Slot
    {
        size_t hash = 0;
        qsizetype position = -1;
    };

    void insert(size_t position, size_t hash)
    {
        for (size_t slot = hash & m_mask;; slot = (slot + 1) & m_mask) {
            Slot &entry = m_slots[slot];
            if (entry.position < 0) {
                entry = Slot {hash, qsizetype(position)};
                return;
            }
            if (entry.hash == hash
                && m_identifiers[size_t(entry.position)] == m_identifiers[position]) {
                entry.position = qsizetype(position);
                return;
            }
        }
    }

    std::vector<QString> m_identifiers;
    std::vector<Slot> m_slots;
    size_t m_mask = 0;
};

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
    QMListItemList merged;
    {
        const OldPositions oldPositions(oldList);
        merged.reserve(newList.size());
        forEachIdentifier(
                newList, [&](size_t hash) { oldPositions.prefetch(hash); },
                [&](size_t position, const QString &identifier, size_t hash) {
                    const QMListItemPointer &item = newList[qsizetype(position)];
                    const qsizetype found = oldPositions.find(identifier, hash);
                    if (found < 0) {
                        merged.append(item);
                        return;
                    }
                    if (updateHandler)
                        updateHandler(oldList[found], item);
                    merged.append(oldList[found]);
                });
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
        // One shift of the elements between the two positions rather than a removal and an
        // insertion that each shift the whole tail; the change's item (the lowest old item
        // equal to the one moved) takes the target position.
        QMMoveListItem(working, from, to, change->item());
        if (const auto delegate = d->delegate.lock())
            delegate->listManagerDidMoveItemAtIndex(from, to, working);
    }
    return working;
}
