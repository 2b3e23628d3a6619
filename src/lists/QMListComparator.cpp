#include "lists/QMListComparator.h"

#include "lists/Comparing.h"

#include <QHash>

#include <vector>

QMOrderedCollectionComparator::~QMOrderedCollectionComparator() = default;

namespace {

// For each moved item, the old item at the lowest position that is equal to it by value (the
// item itself when none is). One sweep over the old list, asking each old item's hash once, so
// the cost is O(n) however many moves there are.
QMListItemList lowestEqualOldItems(const QMListItemList &oldItems, const QMListItemList &items)
{
    QMListItemList result = items;
    QHash<size_t, QList<qsizetype>> wanted;
    bool wantsNull = false;
    for (qsizetype k = 0; k < items.size(); ++k) {
        if (items[k])
            wanted[items[k]->hash()].append(k);
        else
            wantsNull = true;
    }
    std::vector<char> found(size_t(items.size()), 0);
    qsizetype remaining = items.size();
    for (qsizetype p = 0; p < oldItems.size() && remaining > 0; ++p) {
        const QMListItemPointer &old = oldItems[p];
        if (!old) {
            if (wantsNull) {
                for (qsizetype k = 0; k < items.size(); ++k) {
                    if (!items[k] && !found[size_t(k)]) {
                        found[size_t(k)] = 1;
                        --remaining;
                    }
                }
                wantsNull = false;
            }
            continue;
        }
        const auto bucket = wanted.constFind(old->hash());
        if (bucket == wanted.cend())
            continue;
        for (qsizetype k : *bucket) {
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
        [&](const QMIndexSet &removed, const QMIndexSet &inserted, const QMMovePairList &moves) {
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
            for (const QMMovePair &move : moves)
                movedItems.append(newItems[qsizetype(move.second)]);
            movedItems = lowestEqualOldItems(oldItems, movedItems);
            for (qsizetype k = 0; k < moves.size(); ++k) {
                changeset.addChange(std::make_shared<QMListChange>(
                    QMListChangeTypeMove, movedItems[k], qint64(moves[k].second),
                    qint64(moves[k].first)));
            }
        });
    return changeset;
}
