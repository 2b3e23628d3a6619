#include <QMFoundation/lists/QMArrayComparison.h>

#include "QMFoundation/lists/QMArrayComparisonStructures_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMListItem.h>

#include <QStringList>

#include <algorithm>
#include <array>
#include <iterator>
#include <vector>

// How the comparison is made fast while giving exactly the results of its definition.
//
// The definition rebuilds the right list in a working list W: remove what the right list lacks,
// insert what the left list lacks, then make passes until W equals the right list by value. A
// pass takes every element of W that stands elsewhere in the right list, sorted by distance
// (largest first), and moves each in turn to its position in the right list, looking both
// positions up afresh before each move. Written as linear searches that is quadratic per pass.
//
// Here every element gets a dense id. When neither list holds an element twice, an id is the
// element's right-hand position and the two lists are walked side by side, so that only
// elements out of step go through a table; otherwise the right list's distinct keys are
// numbered in order through one hash, and the left list is walked against the right one, so
// that elements in the same order on both sides take their ids without a lookup. Membership is
// then a test per id.
// When no element occurs twice, a right-hand id is also the element's right-hand position, and W
// is a list of blocks of ids that knows where each id stands (O(1)) and moves one id in
// O(B + sqrt(n / B)). Records of a pass are found in one sweep and ordered by a stable counting
// sort. With an element comparator ids cannot stand for "the same" (a comparator is not a
// hash), so that path keeps the linear searches, but asks for each element's right-hand
// position only once, since the right list never changes.
//
// Ties of equal distance keep the order in which the elements stand in W at the start of the
// pass; the test oracle sorts the same way, so results are reproducible position for position.

namespace QMArrayComparison {

Elements::~Elements() = default;

namespace {

// The first position from `from` below `count` whose difference(position) is not zero, or
// `count`. Elements mostly agree in long stretches, so eight differences are or-ed together at a
// time, in a loop of fixed length without an exit that the compiler turns into vector
// instructions, and the last few are looked at one by one.
template<typename Difference>
inline size_t firstDifference(size_t from, size_t count, Difference difference)
{
    constexpr size_t kStride = 8;
    for (; from + kStride <= count; from += kStride) {
        decltype(difference(from)) any = 0;
        for (size_t k = 0; k < kStride; ++k)
            any |= difference(from + k);
        if (any)
            break;
    }
    while (from < count && difference(from) == 0)
        ++from;
    return from;
}

class Comparison
{
public:
    Comparison(const quintptr *leftKeys, qsizetype leftCount, const quintptr *rightKeys,
               qsizetype rightCount, bool hasComparator, const Elements &elements)
        : m_leftCount(quint64(leftCount))
        , m_hasComparator(hasComparator)
        , m_elements(elements)
    {
        if (!alignInStep(leftKeys, leftCount, rightKeys, rightCount))
            alignByHashing(leftKeys, leftCount, rightKeys, rightCount);
    }

    Result run()
    {
        Result result;
        for (quint64 i : m_removed)
            result.removedIndexes.addIndex(i);
        for (quint64 j : m_inserted)
            result.insertedIndexes.addIndex(j);
        ScratchVector<quint32> working = buildWorkingList();
        if (working.size() != m_right.size()) {
            throw QMInternalInconsistencyException(
                    QStringLiteral("Expected same size of current array (%1) and final array (%2)")
                            .arg(identifiers(working), identifiers(m_right)));
        }
        if (!equalsRightByValue(working)) {
            if (m_hasComparator)
                moveWithComparator(working, result.movedIndexes);
            else
                moveByIdentity(working, result.movedIndexes);
        }
        return result;
    }

private:
    // Ids when neither list holds an element twice and the lists mostly agree in order, the
    // common case of a list update: a right-hand id is the element's right-hand position, and
    // the two lists are walked side by side, so that only elements out of step (removed,
    // inserted, or moved) go through a table. Gives up, leaving nothing set, when a list holds
    // an element twice or when too many elements are out of step for the walk to pay.
    //
    // Only the right list is checked for repeats beforehand. With its keys unique the walk pairs
    // each left element with at most one right element, and a left element occurs twice exactly
    // when a right element is paired twice (seen as it happens) or a left element left unpaired
    // has a key that the right list or another unpaired element has (checked at the end; there
    // are few of them).
    bool alignInStep(const quintptr *leftKeys, qsizetype leftCount, const quintptr *rightKeys,
                     qsizetype rightCount)
    {
        const auto left = size_t(leftCount);
        const auto right = size_t(rightCount);
        KeyFilter rightFilter;
        if (rightFilter.build(rightKeys, right).value_or(true))
            return false;
        const size_t budget = std::max<size_t>(64, std::max(left, right) / 8);
        m_left.resize(left);
        m_right.resize(right);
        m_representative.resize(right);
        m_inLeft.resize(right);
        // Through pointers held here: a store through quint8 may alias anything, so the
        // compiler would otherwise load every array's address again after each store.
        quint32 *const leftIds = m_left.data();
        quint32 *const rightIds = m_right.data();
        quint8 *const inLeft = m_inLeft.data();
        quint64 *const representative = m_representative.data();
        bool repeated = false;
        // A right-hand id is the element's right-hand position.
        for (size_t j = 0; j < right; ++j)
            rightIds[j] = quint32(j);
        const auto match = [&](size_t i, size_t j) {
            leftIds[i] = quint32(j);
            inLeft[j] = 1;
            representative[j] = i;
        };
        // Unpaired for now; a later match overwrites these.
        const auto leaveLeft = [&](size_t i) {
            leftIds[i] = kNoId;
            m_removed.push_back(i);
        };
        const auto leaveRight = [&](size_t j) {
            inLeft[j] = 0;
            representative[j] = m_leftCount + j;
            m_inserted.push_back(j);
        };
        PendingKeys pendingLeft;
        PendingKeys pendingRight;
        // Room for the few changes of a typical update, so that they grow the lists rarely.
        m_removed.reserve(64);
        m_inserted.reserve(64);
        size_t i = 0;
        size_t j = 0;
        while (i < left && j < right) {
            if (leftKeys[i] == rightKeys[j]) {
                // A stretch of elements in step: its end is found eight keys at a time, and its
                // ids are filled in sweeps (loops without exits, which the compiler turns into
                // vector instructions).
                const quintptr *const l = leftKeys + i;
                const quintptr *const r = rightKeys + j;
                const size_t length = firstDifference(1, std::min(left - i, right - j),
                                                      [&](size_t k) { return l[k] ^ r[k]; });
                for (size_t k = 0; k < length; ++k) {
                    leftIds[i + k] = quint32(j + k);
                    representative[j + k] = i + k;
                }
                std::fill(inLeft + j, inLeft + j + length, quint8(1));
                i += length;
                j += length;
                continue;
            }
            if (const quint64 p = pendingRight.find(leftKeys[i]); p != PendingKeys::kNotPending) {
                repeated |= inLeft[p] != 0; // paired before
                match(i++, size_t(p));
                continue;
            }
            if (const quint64 p = pendingLeft.find(rightKeys[j]); p != PendingKeys::kNotPending) {
                match(size_t(p), j++);
                continue;
            }
            if (pendingLeft.count() >= budget) {
                clearIds();
                return false;
            }
            pendingLeft.insert(leftKeys[i], i);
            pendingRight.insert(rightKeys[j], j);
            leaveLeft(i++);
            leaveRight(j++);
        }
        for (; i < left; ++i) {
            if (const quint64 p = pendingRight.find(leftKeys[i]); p != PendingKeys::kNotPending) {
                repeated |= inLeft[p] != 0;
                match(i, size_t(p));
            } else {
                leaveLeft(i);
            }
        }
        for (; j < right; ++j) {
            if (const quint64 p = pendingLeft.find(rightKeys[j]); p != PendingKeys::kNotPending)
                match(size_t(p), j);
            else
                leaveRight(j);
        }
        std::erase_if(m_removed, [&](quint64 k) { return m_left[k] != kNoId; });
        std::erase_if(m_inserted, [&](quint64 k) { return m_inLeft[k] != 0; });
        if (repeated || unpairedKeyRepeats(leftKeys, rightKeys, right, rightFilter)) {
            clearIds();
            return false;
        }
        // Removed elements take the ids after the right list's, in left order.
        m_rightIds = quint32(right);
        m_representative.reserve(m_representative.size() + m_removed.size());
        for (quint64 k : m_removed) {
            m_left[k] = quint32(m_representative.size());
            m_representative.push_back(k);
        }
        return true;
    }

    // Whether the key of a removed left element occurs twice among them or in the right list.
    bool unpairedKeyRepeats(const quintptr *leftKeys, const quintptr *rightKeys, size_t right,
                            const KeyFilter &rightFilter) const
    {
        ScratchVector<quintptr> keys;
        ScratchVector<quintptr> suspects; // perhaps in the right list
        keys.reserve(m_removed.size());
        for (quint64 k : m_removed) {
            keys.push_back(leftKeys[k]);
            if (rightFilter.mayHold(leftKeys[k]))
                suspects.push_back(leftKeys[k]);
        }
        std::sort(keys.begin(), keys.end());
        if (std::adjacent_find(keys.begin(), keys.end()) != keys.end())
            return true;
        std::sort(suspects.begin(), suspects.end());
        return !suspects.empty() && anyOccursIn(suspects, rightKeys, right);
    }

    void clearIds()
    {
        m_left.clear();
        m_right.clear();
        m_representative.clear();
        m_inLeft.clear();
        m_removed.clear();
        m_inserted.clear();
    }

    void alignByHashing(const quintptr *leftKeys, qsizetype leftCount, const quintptr *rightKeys,
                        qsizetype rightCount)
    {
        // Ids come from one hash of the right list's keys. Most elements of a list update stand
        // in the same order in both lists, so the left list is walked against the right one:
        // an element equal to the one after the last element found there takes that element's
        // id without a hash lookup, and only the others (removed, inserted around, or moved)
        // are looked up.
        IdTable table {size_t(rightCount)};
        m_left.resize(size_t(leftCount));
        m_right.resize(size_t(rightCount));
        m_representative.reserve(size_t(rightCount) + 64);
        ScratchVector<quint32> firstInRight; // id -> its first right position
        firstInRight.reserve(size_t(rightCount));
        constexpr qsizetype ahead = 16;
        for (qsizetype j = 0; j < rightCount; ++j) {
            if (j + ahead < rightCount)
                table.prefetch(rightKeys[j + ahead]);
            const quint32 id = table.idFor(rightKeys[j]);
            if (id == m_representative.size()) {
                m_representative.push_back(m_leftCount + quint64(j));
                firstInRight.push_back(quint32(j));
            } else {
                m_hasDuplicates = true;
            }
            m_right[size_t(j)] = id;
        }
        m_rightIds = table.count();
        m_inLeft.assign(m_rightIds, 0);
        qsizetype next = 0; // the right position after the last one the walk found
        for (qsizetype i = 0; i < leftCount; ++i) {
            quint32 id;
            if (next < rightCount && rightKeys[next] == leftKeys[i]) {
                id = m_right[size_t(next++)];
            } else {
                id = table.idFor(leftKeys[i]);
                if (id == m_representative.size())
                    m_representative.push_back(quint64(i));
                else if (id < m_rightIds)
                    next = qsizetype(firstInRight[id]) + 1;
                else
                    m_hasDuplicates = true;
            }
            if (id < m_rightIds) {
                // An element's representative is its first occurrence, left list first.
                if (m_inLeft[id])
                    m_hasDuplicates = true;
                else
                    m_representative[id] = quint64(i);
                m_inLeft[id] = 1;
            }
            m_left[size_t(i)] = id;
        }
        for (size_t k = 0; k < m_left.size(); ++k) {
            if (m_left[k] >= m_rightIds)
                m_removed.push_back(k);
        }
        for (size_t k = 0; k < m_right.size(); ++k) {
            if (!m_inLeft[m_right[k]])
                m_inserted.push_back(k);
        }
    }

    // W: the left list without the removed positions, then each inserted element of the right
    // list at its own position, ascending. A position past the end (only possible when the
    // lengths cannot match) appends.
    ScratchVector<quint32> buildWorkingList() const
    {
        ScratchVector<quint32> working;
        working.resize(m_left.size() - std::min(m_removed.size(), m_left.size())
                       + m_inserted.size());
        quint32 *const out = working.data();
        const quint32 *const left = m_left.data();
        const size_t leftCount = m_left.size();
        const quint32 rightIds = m_rightIds;
        size_t length = 0;
        size_t i = 0;
        const auto keepUntil = [&](size_t until) {
            for (; length < until && i < leftCount; ++i) {
                if (left[i] < rightIds)
                    out[length++] = left[i];
            }
        };
        for (quint64 j : m_inserted) {
            keepUntil(j);
            out[length++] = m_right[j];
        }
        keepUntil(std::numeric_limits<size_t>::max());
        working.resize(length);
        return working;
    }

    // Equality is reflexive, so an element in its own place needs no call to isEqual(), and a
    // working list that holds the right list's ids exactly needs none at all.
    bool equalsRightByValue(const ScratchVector<quint32> &working) const
    {
        // std::equal() is one memcmp() here, and unlike memcmp() it takes empty lists (whose
        // data() may be null).
        if (std::equal(working.begin(), working.end(), m_right.begin(), m_right.end()))
            return true;
        for (size_t p = 0; p < working.size(); ++p) {
            if (working[p] != m_right[p]
                && !m_elements.isEqual(m_representative[working[p]], m_leftCount + p))
                return false;
        }
        return true;
    }

    QString identifiers(const ScratchVector<quint32> &ids) const
    {
        QStringList texts;
        texts.reserve(qsizetype(ids.size()));
        for (quint32 id : ids)
            texts.append(m_elements.identifier(m_representative[id]));
        return texts.join(QStringLiteral(", "));
    }

    QString identifierOf(quint32 id) const { return m_elements.identifier(m_representative[id]); }

    static constexpr size_t kFewRecords = 32;

    // Orders the ids of `records` by distance, largest first, keeping their order among equal
    // distances (a stable counting sort, or for a few records an insertion sort).
    template<typename Record>
    static void sortByDistance(ScratchVector<Record> &records,
                               const ScratchVector<quint64> &distances,
                               ScratchVector<Record> &scratch)
    {
        if (records.size() < 2)
            return;
        quint64 largest = 0;
        for (quint64 d : distances)
            largest = std::max(largest, d);
        if (records.size() <= kFewRecords) {
            // An insertion sort of positions, without allocating (a stable sort takes a buffer).
            std::array<quint32, kFewRecords> order;
            for (quint32 k = 0; k < records.size(); ++k) {
                quint32 at = k;
                for (; at > 0 && distances[order[at - 1]] < distances[k]; --at)
                    order[at] = order[at - 1];
                order[at] = k;
            }
            scratch.resize(records.size());
            for (size_t k = 0; k < records.size(); ++k)
                scratch[k] = records[order[k]];
            records.swap(scratch);
            return;
        }
        // Counting pays when there are about as many records as distances to count; records
        // far apart sort faster than their distances' buckets are cleared and summed.
        if (largest > 4 * quint64(records.size()) + 64) {
            ScratchVector<size_t> order(records.size());
            for (size_t k = 0; k < order.size(); ++k)
                order[k] = k;
            std::stable_sort(order.begin(), order.end(),
                             [&](size_t a, size_t b) { return distances[a] > distances[b]; });
            scratch.resize(records.size());
            for (size_t k = 0; k < order.size(); ++k)
                scratch[k] = records[order[k]];
            records.swap(scratch);
            return;
        }
        ScratchVector<size_t> starts(size_t(largest) + 2, 0);
        for (quint64 d : distances)
            ++starts[size_t(largest - d) + 1];
        for (size_t k = 1; k < starts.size(); ++k)
            starts[k] += starts[k - 1];
        scratch.resize(records.size());
        for (size_t k = 0; k < records.size(); ++k)
            scratch[starts[size_t(largest - distances[k])]++] = records[k];
        records.swap(scratch);
    }

    // Elements of W that stand away from their place side by side with the ids that follow:
    // the ids first .. first + length - 1 at consecutive positions of W. They share one
    // distance, and since ties keep W order their records follow one another in a pass.
    struct Run
    {
        quint32 first;
        quint32 length;
    };

    // The first position from `p` on whose id is not its position plus `offset` (modulo 2^32),
    // or `count`.
    static size_t endOfStep(const quint32 *ids, size_t count, size_t p, quint32 offset)
    {
        return firstDifference(p, count,
                               [&](size_t q) { return quint32(ids[q] ^ quint32(q + offset)); });
    }

    // The runs of W's elements that stand away from their place (an id is its place), largest
    // distance first and equal distances in W order.
    static void outOfPlaceRuns(const ScratchVector<quint32> &working, ScratchVector<Run> &runs,
                               ScratchVector<quint64> &distances, ScratchVector<Run> &scratch)
    {
        runs.clear();
        distances.clear();
        const quint32 *const ids = working.data();
        const size_t count = working.size();
        for (size_t p = 0; p < count;) {
            p = endOfStep(ids, count, p, 0);
            if (p == count)
                break;
            const quint32 first = ids[p];
            const size_t start = p;
            p = endOfStep(ids, count, p + 1, quint32(first - start));
            runs.push_back(Run {first, quint32(p - start)});
            distances.push_back(recordDistance(start, first));
        }
        sortByDistance(runs, distances, scratch);
    }

    // Whether W equals the right list by value after a pass. A pass without a move, or a pass
    // that brings W back to a state it had before, can never get there, so both end the
    // comparison with an exception rather than going on forever. Only a pass that leaves W
    // unequal needs its state, so the last pass of a comparison hashes nothing.
    bool passReachedRight(bool moved, const ScratchVector<quint32> &working,
                          SeenStates &seenStates) const
    {
        if (!moved) {
            throw QMInternalInconsistencyException(
                    QStringLiteral("Expected a comparison pass to move an element, but the current "
                                   "array (%1) differs from the final array (%2) by value and no "
                                   "element is out of place")
                            .arg(identifiers(working), identifiers(m_right)));
        }
        if (equalsRightByValue(working))
            return true;
        if (!seenStates.insert(stateOf(working))) {
            throw QMInternalInconsistencyException(
                    QStringLiteral("Expected comparison passes to reach the final array (%2), but "
                                   "they repeat the current array (%1)")
                            .arg(identifiers(working), identifiers(m_right)));
        }
        return false;
    }

    // The first element, left list first, that occurs more than once in either list.
    [[noreturn]] void throwFirstDuplicate() const
    {
        ScratchVector<quint8> inLeft(m_representative.size(), 0);
        ScratchVector<quint8> inRight(m_representative.size(), 0);
        for (quint32 id : m_left)
            inLeft[id] = quint8(std::min(2, inLeft[id] + 1));
        for (quint32 id : m_right)
            inRight[id] = quint8(std::min(2, inRight[id] + 1));
        for (size_t k = 0; k < m_left.size() + m_right.size(); ++k) {
            const quint32 id = k < m_left.size() ? m_left[k] : m_right[k - m_left.size()];
            if (inLeft[id] > 1 || inRight[id] > 1) {
                throw QMInternalInconsistencyException(
                        QStringLiteral("Expected every element once in each array, but %1 occurs "
                                       "more than once")
                                .arg(identifierOf(id)));
            }
        }
        Q_UNREACHABLE();
    }

    void moveByIdentity(ScratchVector<quint32> &working, QMMovePairList &moves) const
    {
        // Positions by identity are unambiguous only when every element occurs once. Then the
        // right list's ids are its positions, so an id is also where the element belongs.
        if (m_hasDuplicates)
            throwFirstDuplicate();
        BlockList list(working, m_right.size());
        SeenStates seenStates;
        ScratchVector<Run> runs;
        ScratchVector<quint64> distances;
        ScratchVector<Run> scratch;
        bool moved = false;
        do {
            outOfPlaceRuns(working, runs, distances, scratch);
            moved = false;
            for (const Run &run : runs) {
                // Each element of a run takes its record in turn. Moves of other elements never
                // change the order of the run's elements that have not moved yet, so once the
                // next of them is in place and the run's last element stands the right number
                // of positions after it, nothing came between them and the rest of the run is in
                // place too: their records would move nothing.
                const quint32 end = run.first + run.length;
                for (quint32 id = run.first; id < end; ++id) {
                    const quint64 from = list.position(id);
                    const quint64 to = id;
                    if (from == to) {
                        if (list.position(end - 1) - from == end - 1 - id)
                            break;
                        continue;
                    }
                    list.move(id, to);
                    moves.append(QMMovePair(from, to));
                    moved = true;
                }
            }
            list.flatten(working);
        } while (!passReachedRight(moved, working, seenStates));
    }

    // indexOfObject:inArray: with the comparator over W: the first element the comparator calls
    // the same as `id`.
    quint64 positionInWorking(const ScratchVector<quint32> &working, quint32 id) const
    {
        const quint64 object = m_representative[id];
        for (size_t p = 0; p < working.size(); ++p) {
            if (m_elements.isSame(m_representative[working[p]], object))
                return p;
        }
        return quint64(QMNotFound);
    }

    void moveWithComparator(ScratchVector<quint32> &working, QMMovePairList &moves) const
    {
        // The right list never changes, so each element's position there is asked for once.
        ScratchVector<quint64> target(m_representative.size(), quint64(QMNotFound));
        {
            ScratchVector<quint32> distinct;
            std::vector<bool> seen(m_representative.size(), false);
            for (quint32 id : working) {
                if (!seen[id]) {
                    seen[id] = true;
                    distinct.push_back(id);
                }
            }
            inParallel(distinct.size(), m_right.size(), [&](size_t begin, size_t end) {
                for (size_t k = begin; k < end; ++k) {
                    const quint32 id = distinct[k];
                    const quint64 object = m_representative[id];
                    for (size_t j = 0; j < m_right.size(); ++j) {
                        if (m_elements.isSame(m_leftCount + j, object)) {
                            target[id] = j;
                            break;
                        }
                    }
                }
            });
        }

        SeenStates seenStates;
        ScratchVector<quint64> here(working.size());
        ScratchVector<quint32> records;
        ScratchVector<quint64> distances;
        ScratchVector<quint32> scratch;
        bool moved = false;
        do {
            // Each element's position in the working list is one linear search; they are
            // independent, so they run on every core.
            inParallel(working.size(), working.size(), [&](size_t begin, size_t end) {
                for (size_t p = begin; p < end; ++p)
                    here[p] = positionInWorking(working, working[p]);
            });
            records.clear();
            distances.clear();
            for (size_t p = 0; p < working.size(); ++p) {
                const quint32 id = working[p];
                if (here[p] != target[id]) {
                    records.push_back(id);
                    distances.push_back(recordDistance(here[p], target[id]));
                }
            }
            sortByDistance(records, distances, scratch);
            moved = false;
            for (quint32 id : records) {
                const quint64 from = positionInWorking(working, id);
                const quint64 to = target[id];
                if (from == to)
                    continue;
                if (from == quint64(QMNotFound) || to == quint64(QMNotFound)) {
                    throw QMInternalInconsistencyException(
                            QStringLiteral("Expected the element comparator to find %1 in both the "
                                           "current array and the final array")
                                    .arg(identifierOf(id)));
                }
                const quint32 element = working[from];
                working.erase(working.begin() + qsizetype(from));
                working.insert(working.begin() + qsizetype(to), element);
                moves.append(QMMovePair(from, to));
                moved = true;
            }
        } while (!passReachedRight(moved, working, seenStates));
    }

    const quint64 m_leftCount;
    const bool m_hasComparator;
    const Elements &m_elements;
    ScratchVector<quint32> m_left;
    ScratchVector<quint32> m_right;
    ScratchVector<quint64> m_representative;
    quint32 m_rightIds = 0; // ids below this stand for elements of the right list
    ScratchVector<quint8> m_inLeft; // by right id: whether the left list holds it
    ScratchVector<quint64> m_removed; // left positions whose element the right list lacks
    ScratchVector<quint64> m_inserted; // right positions whose element the left list lacks
    bool m_hasDuplicates = false;
};

} // namespace

Result compare(const quintptr *leftKeys, qsizetype leftCount, const quintptr *rightKeys,
               qsizetype rightCount, bool hasComparator, const Elements &elements)
{
    return Comparison(leftKeys, leftCount, rightKeys, rightCount, hasComparator, elements).run();
}

} // namespace QMArrayComparison
