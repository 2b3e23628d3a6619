#pragma once

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMArrayComparison.h>
#include <QMFoundation/lists/QMIndexSet.h>
#include <QMFoundation/lists/QMListElementTraits.h>
#include <QMFoundation/lists/QMListItem.h>

#include <QHash>
#include <QList>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

/// The three-way result of an element comparator; only QMOrderedSame is acted upon.
enum QMComparisonResult : int {
    QMOrderedAscending = -1,
    QMOrderedSame = 0,
    QMOrderedDescending = 1
};

/// The diff engine of the list facilities: given a left (old) and a right (new) list, it finds
/// the positions removed from the left list, the positions inserted into the right list, and a
/// series of single moves that turns the left list, once the removals and insertions are
/// applied, into the right list.
///
/// It rebuilds the right list in a working list W: remove the left positions whose element is
/// not in the right list (identity), insert the right positions whose element is not in the left
/// list (identity, ascending, each at its own position), then make passes until W equals the
/// right list element by element by value equality. A pass takes the elements of W that stand
/// at another position in the right list, ordered by distance (largest first; equal distances
/// in the order they stand in W when the pass starts), and moves each in turn from where it
/// stands now to its position in the right list, recording [from, to].
///
/// Elements are matched by identity (see QMListElementTraits); an element comparator, when set,
/// decides instead which elements are the same for the position lookups of the passes (never for
/// removals and insertions). It must be safe to call from any thread (long lists share its calls
/// among the cores) and must not change the lists.
///
/// Cost: O(n) to find removals and insertions and O(n + m sqrt(n)) per pass of m moves when
/// matching by identity (each lookup O(1), each move O(64 + sqrt(n / 64))). With an element
/// comparator each position lookup is a linear search (a comparator cannot be hashed): O(n^2) per
/// pass.
///
/// Failures, thrown as QMInternalInconsistencyException:
/// - "Expected same size of current array (a, b) and final array (a)" (identifiers of W and of
///   the right list) when W and the right list differ in length, which happens when a list holds
///   the same element more than once;
/// - "Expected every element once in each array, but a occurs more than once" when moves are
///   needed and a list holds the same element twice (identity positions would be ambiguous);
/// - "Expected a comparison pass to move an element, ..." and "Expected comparison passes to
///   reach the final array ..." when value equality or the element comparator disagree with the
///   positions so that the passes cannot reach the right list (they never go on forever);
/// - "Expected the element comparator to find a in both the current array and the final array".
template<typename T, typename Traits = QMListElementTraits<T>>
class QMArrayComparator
{
public:
    /// (element of the searched list, sought object) -> QMComparisonResult.
    using Comparator = std::function<int(const T &element, const T &object)>;
    /// Receives (removed indexes, inserted indexes, moves) on the calling thread.
    using CompletionHandler = std::function<void(const QMIndexSet &removedIndexes,
                                                 const QMIndexSet &insertedIndexes,
                                                 const QMMovePairList &movedIndexes)>;
    /// A moved-object record: the element and |its position in A - its position in B| (the
    /// difference taken as a signed 32-bit number).
    struct MovedObjectInfo
    {
        /// The moved element.
        T object;
        /// How far it stands from its position in the other list.
        quint64 distance = 0;
    };

    QMArrayComparator() = delete;
    /// A comparator of `leftArray` (old) with `rightArray` (new), with an optional element
    /// comparator.
    QMArrayComparator(QList<T> leftArray, QList<T> rightArray, Comparator comparator = {})
        : m_leftArray(std::move(leftArray))
        , m_rightArray(std::move(rightArray))
        , m_comparator(std::move(comparator))
    { }
    /// A comparator of the two lists without an element comparator.
    static QMArrayComparator arrayComparatorWithLeftArray(QList<T> leftArray, QList<T> rightArray)
    {
        return QMArrayComparator(std::move(leftArray), std::move(rightArray));
    }

    /// The left (old) list.
    const QList<T> &leftArray() const { return m_leftArray; }
    /// Replaces the left list.
    void setLeftArray(QList<T> array) { m_leftArray = std::move(array); }
    /// The right (new) list.
    const QList<T> &rightArray() const { return m_rightArray; }
    /// Replaces the right list.
    void setRightArray(QList<T> array) { m_rightArray = std::move(array); }
    /// The element comparator, empty when identity decides.
    const Comparator &comparator() const { return m_comparator; }
    /// Sets the element comparator; an empty one restores identity.
    void setComparator(Comparator comparator) { m_comparator = std::move(comparator); }
    /// Results accumulate: a second comparison adds its findings to those of the first.
    const QMIndexSet &removedIndexes() const { return m_removedIndexes; }
    /// Replaces the removed positions found so far.
    void setRemovedIndexes(QMIndexSet indexes) { m_removedIndexes = std::move(indexes); }
    /// The positions of the right list inserted, accumulated as removedIndexes().
    const QMIndexSet &insertedIndexes() const { return m_insertedIndexes; }
    /// Replaces the inserted positions found so far.
    void setInsertedIndexes(QMIndexSet indexes) { m_insertedIndexes = std::move(indexes); }
    /// The moves [from, to] in the order performed, accumulated as removedIndexes().
    const QMMovePairList &movedIndexes() const { return m_movedIndexes; }
    /// Replaces the moves found so far.
    void setMovedIndexes(QMMovePairList moves) { m_movedIndexes = std::move(moves); }

    /// Runs the comparison and calls `handler` once, before returning, with copies of the
    /// results. Throws "Invalid parameter not satisfying: completionHandler" without a handler.
    void compareWithCompletionHandler(const CompletionHandler &handler)
    {
        QMParameterAssert(bool(handler), "completionHandler");
        const std::unique_ptr<quintptr[]> keys = identityKeys();
        const Elements elements(*this);
        const QMArrayComparison::Result result = QMArrayComparison::compare(
                keys.get(), m_leftArray.size(), keys.get() + m_leftArray.size(),
                m_rightArray.size(), bool(m_comparator), elements);
        m_removedIndexes.addIndexes(result.removedIndexes);
        m_insertedIndexes.addIndexes(result.insertedIndexes);
        m_movedIndexes.append(result.movedIndexes);
        handler(m_removedIndexes, m_insertedIndexes, m_movedIndexes);
    }

    /// The lowest position of `object` in `array` (identity, or the first element the comparator
    /// calls the same), or QMNotFound.
    qint64 indexOfObject(const T &object, const QList<T> &array) const
    {
        for (qsizetype p = 0; p < array.size(); ++p) {
            if (isSame(array[p], object))
                return p;
        }
        return QMNotFound;
    }

    /// The records of the elements of `a` whose position in `a` differs from that in `b` (an
    /// element missing from `b` counts), largest distance first, equal distances in the order of
    /// `a`.
    QList<MovedObjectInfo> movedObjectInfosSortedByDistanceForArray(const QList<T> &a,
                                                                    const QList<T> &b) const
    {
        QList<MovedObjectInfo> records;
        if (m_comparator) {
            for (const T &x : a) {
                const qint64 inA = indexOfObject(x, a);
                const qint64 inB = indexOfObject(x, b);
                if (inA != inB)
                    records.append(MovedObjectInfo {
                            x, QMArrayComparison::recordDistance(quint64(inA), quint64(inB))});
            }
        } else {
            const auto firstPositions = [](const QList<T> &list) {
                QHash<decltype(Traits::identityKey(std::declval<const T &>())), qint64> positions;
                positions.reserve(list.size());
                for (qsizetype p = list.size() - 1; p >= 0; --p)
                    positions.insert(Traits::identityKey(list[p]), p);
                return positions;
            };
            const auto inA = firstPositions(a);
            const auto inB = firstPositions(b);
            for (const T &x : a) {
                const auto key = Traits::identityKey(x);
                const qint64 positionInA = inA.value(key, QMNotFound);
                const qint64 positionInB = inB.value(key, QMNotFound);
                if (positionInA != positionInB)
                    records.append(
                            MovedObjectInfo {x,
                                             QMArrayComparison::recordDistance(
                                                     quint64(positionInA), quint64(positionInB))});
            }
        }
        std::stable_sort(records.begin(), records.end(),
                         [](const MovedObjectInfo &l, const MovedObjectInfo &r) {
                             return l.distance > r.distance;
                         });
        return records;
    }

private:
    class Elements final : public QMArrayComparison::Elements
    {
    public:
        explicit Elements(const QMArrayComparator &owner)
            : m_owner(owner)
        { }
        bool isEqual(quint64 a, quint64 b) const override
        {
            return Traits::isEqual(m_owner.element(a), m_owner.element(b));
        }
        bool isSame(quint64 element, quint64 object) const override
        {
            return m_owner.m_comparator(m_owner.element(element), m_owner.element(object))
                    == QMOrderedSame;
        }
        QString identifier(quint64 element) const override
        {
            return Traits::identifier(m_owner.element(element));
        }

    private:
        const QMArrayComparator &m_owner;
    };

    const T &element(quint64 combined) const
    {
        const auto leftCount = quint64(m_leftArray.size());
        return combined < leftCount ? m_leftArray[qsizetype(combined)]
                                    : m_rightArray[qsizetype(combined - leftCount)];
    }

    bool isSame(const T &element, const T &object) const
    {
        if (m_comparator)
            return m_comparator(element, object) == QMOrderedSame;
        return Traits::identityKey(element) == Traits::identityKey(object);
    }

    // One key per element of the left list followed by the right list; equal keys exactly for
    // the same element.
    std::unique_ptr<quintptr[]> identityKeys() const
    {
        // Written in place, not appended: a loop without a capacity check per key.
        auto keys = std::make_unique_for_overwrite<quintptr[]>(
                size_t(m_leftArray.size() + m_rightArray.size()));
        quintptr *next = keys.get();
        if constexpr (QMListElementDetail::PointerLike<
                              T> && std::is_same_v<Traits, QMListElementTraits<T>>) {
            for (const QList<T> *list : {&m_leftArray, &m_rightArray}) {
                next = std::transform(list->cbegin(), list->cend(), next, [](const T &x) {
                    return reinterpret_cast<quintptr>(Traits::identityKey(x));
                });
            }
        } else {
            QHash<decltype(Traits::identityKey(std::declval<const T &>())), quintptr> numbers;
            for (const QList<T> *list : {&m_leftArray, &m_rightArray}) {
                for (const T &x : *list) {
                    auto it = numbers.constFind(Traits::identityKey(x));
                    if (it == numbers.cend())
                        it = numbers.insert(Traits::identityKey(x), quintptr(numbers.size()));
                    *next++ = *it;
                }
            }
        }
        return keys;
    }

    QList<T> m_leftArray;
    QList<T> m_rightArray;
    Comparator m_comparator;
    QMIndexSet m_removedIndexes;
    QMIndexSet m_insertedIndexes;
    QMMovePairList m_movedIndexes;
};
