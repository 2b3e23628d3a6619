#include <QMFoundation/lists/QMListComparator.h>

#include <QMFoundation/lists/Comparing.h>

#include <QHash>

#include <algorithm>
#include <bit>
#include <vector>

QMOrderedCollectionComparator::~QMOrderedCollectionComparator() = default;

namespace {

// Whether `item`'s class keeps the default value equality, identity: then, equality being
// symmetric, the only item equal to it is itself, and the old list need not be searched for it.
// GCC tells which function a virtual call on an object would reach (its extension for bound
// pointers to member functions); with other compilers every item is searched for.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
#pragma GCC diagnostic ignored "-Wpedantic"
using IsEqualFunction = bool (*)(const QMListItem *, const QMListItem &);

IsEqualFunction isEqualOf(const QMListItem &item)
{
    return reinterpret_cast<IsEqualFunction>(item.*(&QMListItem::isEqual));
}

bool isEqualOnlyToItself(const QMListItem &item)
{
    class DefaultEquality final : public QMListItem
    {
    public:
        QString identifier() const override { return {}; }
    };
    static const IsEqualFunction identity = isEqualOf(DefaultEquality());
    return isEqualOf(item) == identity;
}
#pragma GCC diagnostic pop
#else
bool isEqualOnlyToItself(const QMListItem &)
{
    return false;
}
#endif

// For each moved item, the old item at the lowest position that is equal to it by value (the
// item itself when none is). Equal items have equal hashes, so one sweep over the old list that
// asks each old item's hash once finds them all: O(n) however many moves there are. A bit per
// hash class, in a filter small enough to stay in a near cache, turns away nearly every
// old item before the table of the moved items' hashes is probed.
QMListItemList lowestEqualOldItems(const QMListItemList &oldItems, const QMListItemList &items)
{
    QMListItemList result = items;
    const size_t capacity = std::bit_ceil(std::max<size_t>(16, size_t(items.size()) * 2));
    const size_t mask = capacity - 1;
    constexpr qsizetype kEmpty = -1;
    std::vector<std::pair<size_t, qsizetype>> heads(capacity, {0, kEmpty}); // hash, first item
    std::vector<qsizetype> next(size_t(items.size()), kEmpty); // the next item with that hash
    std::vector<char> found(size_t(items.size()), 0);
    // About 16 bits per moved item, from 4 KiB to 512 KiB.
    const int filterBits = std::clamp(int(std::bit_width(size_t(items.size()) * 16)), 15, 22);
    std::vector<quint64> filter(size_t(1) << (filterBits - 6), 0);
    const auto mixed = [](size_t hash) {
        return quint64(hash) * 0x9E3779B97F4A7C15ULL;
    };
    const auto filterBit = [filterBits](quint64 mix) {
        return mix >> (64 - filterBits);
    };
    const auto slotOf = [&](size_t hash, quint64 mix) {
        size_t slot = (mix >> 24) & mask;
        while (heads[slot].second != kEmpty && heads[slot].first != hash)
            slot = (slot + 1) & mask;
        return slot;
    };
    bool wantsNull = false;
    for (qsizetype k = items.size() - 1; k >= 0; --k) {
        if (!items[k]) {
            wantsNull = true;
            continue;
        }
        const size_t hash = items[k]->hash();
        const quint64 mix = mixed(hash);
        filter[filterBit(mix) >> 6] |= quint64(1) << (filterBit(mix) & 63);
        const size_t slot = slotOf(hash, mix);
        next[size_t(k)] = heads[slot].second;
        heads[slot] = {hash, k};
    }
    qsizetype remaining = items.size();
    for (qsizetype p = 0; p < oldItems.size() && remaining > 0; ++p) {
        const QMListItemPointer &old = oldItems[p];
        if (!old) {
            for (qsizetype k = 0; wantsNull && k < items.size(); ++k) {
                if (!items[k] && !found[size_t(k)]) {
                    found[size_t(k)] = 1;
                    --remaining;
                }
            }
            wantsNull = false;
            continue;
        }
        const size_t hash = old->hash();
        const quint64 mix = mixed(hash);
        if (!(filter[filterBit(mix) >> 6] >> (filterBit(mix) & 63) & 1))
            continue;
        const size_t slot = slotOf(hash, mix);
        for (qsizetype k = heads[slot].second; k != kEmpty; k = next[size_t(k)]) {
            if (!found[size_t(k)] && old->isEqual(*items[k])) {
                result[k] = old;
                found[size_t(k)] = 1;
                --remaining;
            }
        }
    }
    return result;
}

} // namespace

QMListChangeset QMListComparator::compareList(const QMListItemList &oldItems,
                                              const QMListItemList &newItems) const
{
    QMListChangeset changeset;
    Comparing::compareIndexesOfObjectsWithIndexesOfObjectsInArray(
            oldItems, newItems,
            [&](const QMIndexSet &removed, const QMIndexSet &inserted,
                const QMMovePairList &moves) {
                changeset.reserve(inserted.count(), removed.count(), moves.size());
                for (quint64 i : removed) {
                    changeset.addChange(std::make_shared<QMListChange>(
                            QMListChangeTypeDelete, oldItems[qsizetype(i)], QMNotFound, qint64(i)));
                }
                for (quint64 j : inserted) {
                    changeset.addChange(std::make_shared<QMListChange>(
                            QMListChangeTypeInsert, newItems[qsizetype(j)], qint64(j), QMNotFound));
                }
                if (moves.isEmpty())
                    return;
                QMListItemList movedItems;
                movedItems.reserve(moves.size());
                QList<qsizetype> sought; // moved items that other items may equal
                QMListItemList soughtItems;
                for (const QMMovePair &move : moves) {
                    const QMListItemPointer &item = newItems[qsizetype(move.second)];
                    if (item && !isEqualOnlyToItself(*item)) {
                        sought.append(movedItems.size());
                        soughtItems.append(item);
                    }
                    movedItems.append(item);
                }
                if (!soughtItems.isEmpty()) {
                    soughtItems = lowestEqualOldItems(oldItems, soughtItems);
                    for (qsizetype k = 0; k < sought.size(); ++k)
                        movedItems[sought[k]] = soughtItems[k];
                }
                for (qsizetype k = 0; k < moves.size(); ++k) {
                    changeset.addChange(std::make_shared<QMListChange>(
                            QMListChangeTypeMove, movedItems[k], qint64(moves[k].second),
                            qint64(moves[k].first)));
                }
            });
    return changeset;
}
