#include "lists/QMArrayComparison.h"

#include "errors/QMInternalInconsistencyException.h"
#include "lists/QMListItem.h"

#include <QStringList>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <thread>
#include <unordered_set>
#include <vector>

#include <sys/mman.h>

// How the comparison is made fast while giving exactly the results of its definition.
//
// The definition rebuilds the right list in a working list W: remove what the right list lacks,
// insert what the left list lacks, then make passes until W equals the right list by value. A
// pass takes every element of W that stands elsewhere in the right list, sorted by distance
// (largest first), and moves each in turn to its position in the right list, looking both
// positions up afresh before each move. Written as linear searches that is quadratic per pass.
//
// Here every element gets a dense id through one hash of its identity key. Membership is then a
// count per id, the right-hand position a table per id, and W is a list of blocks of ids that
// knows where each id stands (block start + offset, O(1)) and moves one id in O(B + n / B).
// Records of a pass are found in one sweep and ordered by a stable counting sort. With an element
// comparator ids cannot stand for "the same" (a comparator is not a hash), so that path keeps
// the linear searches, but asks for each element's right-hand position only once, since the
// right list never changes.
//
// Ties of equal distance keep the order in which the elements stand in W at the start of the
// pass; the test oracle sorts the same way, so results are reproducible position for position.

namespace QMArrayComparison {

Elements::~Elements() = default;

namespace {

constexpr quint32 kNoId = std::numeric_limits<quint32>::max();

// An allocator for the comparison's large scratch arrays. A million-element comparison touches
// tens of megabytes of fresh memory, and with 4 KiB pages the page faults cost more than the
// work done in them; large arrays are therefore 2 MiB aligned and offered to the kernel as
// transparent huge pages.
template<typename T>
struct ScratchAllocator
{
    using value_type = T;
    static constexpr size_t kHugePage = size_t(2) << 20;

    ScratchAllocator() = default;
    template<typename U>
    ScratchAllocator(const ScratchAllocator<U> &) noexcept
    { }

    T *allocate(size_t n)
    {
        const size_t bytes = n * sizeof(T);
        if (bytes < kHugePage)
            return static_cast<T *>(::operator new(bytes));
        const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void *memory = std::aligned_alloc(kHugePage, rounded);
        if (!memory)
            throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(memory, rounded, MADV_HUGEPAGE);
#endif
        return static_cast<T *>(memory);
    }

    void deallocate(T *memory, size_t n) noexcept
    {
        if (n * sizeof(T) < kHugePage)
            ::operator delete(memory);
        else
            std::free(memory);
    }

    template<typename U>
    bool operator==(const ScratchAllocator<U> &) const noexcept
    {
        return true;
    }
};

template<typename T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

// Dense ids for identity keys: open addressing with linear probing over slots that hold the key
// and its id together, so a lookup touches one cache line. Keys may be any value, zero included
// (a null pointer is an element too). The table grows at three quarters full.
class IdTable
{
public:
    explicit IdTable(size_t expected) { allocate(expected * 2); }

    // The id of `key`, a new one (the next free number) when the key is new.
    quint32 idFor(quintptr key, quint32 &nextId)
    {
        size_t slot = slotOf(key);
        while (true) {
            Slot &entry = m_slots[slot];
            if (entry.id == kNoId) {
                entry = Slot {key, nextId};
                if (++m_used * 4 > m_slots.size() * 3)
                    grow();
                return nextId++;
            }
            if (entry.key == key)
                return entry.id;
            slot = (slot + 1) & m_mask;
        }
    }

    // Hides the memory latency of a lookup made a little later.
    void prefetch(quintptr key) const { __builtin_prefetch(&m_slots[slotOf(key)]); }

private:
    struct Slot
    {
        quintptr key = 0;
        quint32 id = kNoId;
    };

    size_t slotOf(quintptr key) const { return (quint64(key) * 0x9E3779B97F4A7C15ULL) >> m_shift; }

    void allocate(size_t wanted)
    {
        const size_t capacity = std::bit_ceil(std::max<size_t>(wanted, 16));
        m_slots.assign(capacity, Slot {});
        m_mask = capacity - 1;
        m_shift = 64 - std::countr_zero(capacity);
    }

    void grow()
    {
        ScratchVector<Slot> old;
        old.swap(m_slots);
        allocate(old.size() * 2);
        for (const Slot &entry : old) {
            if (entry.id == kNoId)
                continue;
            size_t slot = slotOf(entry.key);
            while (m_slots[slot].id != kNoId)
                slot = (slot + 1) & m_mask;
            m_slots[slot] = entry;
        }
    }

    ScratchVector<Slot> m_slots;
    size_t m_used = 0;
    size_t m_mask = 0;
    int m_shift = 0;
};

// Runs work(begin, end) over [0, count) in one chunk per core when the whole costs about
// count * costPerItem comparator calls and that is worth a thread; the first exception of any
// chunk is rethrown on the calling thread once every chunk has ended.
template<typename Work>
void inParallel(size_t count, size_t costPerItem, const Work &work)
{
    constexpr size_t kWorkPerThread = size_t(1) << 18;
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t wanted = count * std::max<size_t>(1, costPerItem) / kWorkPerThread;
    const size_t threads = std::min({cores, wanted, count});
    if (threads <= 1) {
        work(0, count);
        return;
    }
    std::vector<std::exception_ptr> errors(threads);
    const auto chunk = [&](size_t t) {
        try {
            work(count * t / threads, count * (t + 1) / threads);
        } catch (...) {
            errors[t] = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (size_t t = 1; t < threads; ++t)
        pool.emplace_back(chunk, t);
    chunk(0);
    for (std::thread &thread : pool)
        thread.join();
    for (const std::exception_ptr &error : errors) {
        if (error)
            std::rethrow_exception(error);
    }
}

// The working list as a sequence of small blocks of ids, with a Fenwick tree over the block
// sizes. Each id knows its block and its offset there, so position() is O(log(n / B)) and
// move() is O(B + log(n / B)); a block that grows past 2B makes the list rebuild itself evenly
// (O(n)), which happens rarely since moves land all over the list.
class BlockList
{
public:
    BlockList(const ScratchVector<quint32> &sequence, size_t idCount)
        : m_location(idCount)
    {
        rebuild(sequence);
    }

    quint64 position(quint32 id)
    {
        const Location &location = m_location[id];
        if (!m_startsValid) {
            // After a move the block starts are stale. Runs of lookups without a move (most
            // elements of a pass are found in place) pay for one O(n / B) refresh that makes
            // the rest O(1); until then the tree answers in O(log(n / B)).
            if (++m_lookupsSinceMove < m_blocks.size() / 8 + 16)
                return prefix(location.block) + location.offset;
            refreshStarts();
        }
        return m_starts[location.block] + location.offset;
    }

    void flatten(ScratchVector<quint32> &out) const
    {
        out.clear();
        for (const std::vector<quint32> &block : m_blocks)
            out.insert(out.end(), block.begin(), block.end());
    }

    // Removes `id` from where it stands and inserts it so that it then stands at `to`.
    void move(quint32 id, quint64 to)
    {
        const Location from = m_location[id];
        std::vector<quint32> &source = m_blocks[from.block];
        source.erase(source.begin() + from.offset);
        for (size_t k = from.offset; k < source.size(); ++k)
            --m_location[source[k]].offset;
        add(from.block, -1);

        // The block holding position `to` once the id is gone; past the end, the last block.
        quint32 target = 0;
        quint64 before = 0;
        if (to >= m_count - 1) {
            target = quint32(m_blocks.size() - 1);
            before = m_count - 1 - m_blocks[target].size();
        } else {
            findBlock(to, target, before);
        }
        const auto offset = quint32(to - before);
        std::vector<quint32> &destination = m_blocks[target];
        destination.insert(destination.begin() + offset, id);
        for (size_t k = offset + 1; k < destination.size(); ++k)
            ++m_location[destination[k]].offset;
        m_location[id] = Location {target, offset};
        add(target, +1);
        m_startsValid = false;
        m_lookupsSinceMove = 0;

        if (destination.size() > 2 * kBlockSize) {
            ScratchVector<quint32> sequence;
            flatten(sequence);
            rebuild(sequence);
        }
    }

private:
    struct Location
    {
        quint32 block = 0;
        quint32 offset = 0;
    };

    void refreshStarts()
    {
        m_starts.resize(m_blocks.size());
        quint64 start = 0;
        for (size_t b = 0; b < m_blocks.size(); ++b) {
            m_starts[b] = start;
            start += m_blocks[b].size();
        }
        m_startsValid = true;
    }

    // The number of ids in blocks 0 .. block - 1.
    quint64 prefix(quint32 block) const
    {
        quint64 sum = 0;
        for (size_t i = block; i > 0; i &= i - 1)
            sum += m_tree[i];
        return sum;
    }

    void add(quint32 block, qint64 delta)
    {
        for (size_t i = block + 1; i < m_tree.size(); i += i & (~i + 1))
            m_tree[i] = quint64(qint64(m_tree[i]) + delta);
    }

    // The block that holds position `to` (< count) and the number of ids before it: a descent
    // of the Fenwick tree, skipping empty blocks.
    void findBlock(quint64 to, quint32 &block, quint64 &before) const
    {
        size_t index = 0;
        quint64 sum = 0;
        for (size_t step = std::bit_floor(m_tree.size() - 1); step > 0; step >>= 1) {
            if (index + step < m_tree.size() && sum + m_tree[index + step] <= to) {
                index += step;
                sum += m_tree[index];
            }
        }
        block = quint32(index);
        before = sum;
    }

    void rebuild(const ScratchVector<quint32> &sequence)
    {
        m_count = sequence.size();
        const size_t count = std::max<size_t>(1, (sequence.size() + kBlockSize - 1) / kBlockSize);
        m_blocks.assign(count, {});
        m_tree.assign(count + 1, 0);
        for (size_t b = 0; b < count; ++b) {
            const size_t first = std::min(sequence.size(), b * kBlockSize);
            const size_t last = std::min(sequence.size(), first + kBlockSize);
            m_blocks[b].reserve(2 * kBlockSize + 1);
            m_blocks[b].assign(sequence.begin() + qsizetype(first),
                               sequence.begin() + qsizetype(last));
            for (size_t k = first; k < last; ++k)
                m_location[sequence[k]] = Location {quint32(b), quint32(k - first)};
            m_tree[b + 1] = last - first;
        }
        refreshStarts();
        // Linear construction of the Fenwick tree from the block sizes.
        for (size_t i = 1; i < m_tree.size(); ++i) {
            const size_t parent = i + (i & (~i + 1));
            if (parent < m_tree.size())
                m_tree[parent] += m_tree[i];
        }
    }

    static constexpr size_t kBlockSize = 64;
    quint64 m_count = 0;
    std::vector<std::vector<quint32>> m_blocks;
    ScratchVector<quint64> m_tree;
    ScratchVector<quint64> m_starts;
    bool m_startsValid = false;
    size_t m_lookupsSinceMove = 0;
    ScratchVector<Location> m_location;
};

class Comparison
{
public:
    Comparison(const quintptr *leftKeys, qsizetype leftCount, const quintptr *rightKeys,
               qsizetype rightCount, bool hasComparator, const Elements &elements)
        : m_leftCount(quint64(leftCount))
        , m_hasComparator(hasComparator)
        , m_elements(elements)
    {
        // Most elements of a list update are in both lists, so the larger list sizes the table.
        IdTable table(size_t(std::max(leftCount, rightCount)));
        quint32 nextId = 0;
        m_left.resize(size_t(leftCount));
        m_right.resize(size_t(rightCount));
        constexpr qsizetype ahead = 16;
        for (qsizetype i = 0; i < leftCount; ++i) {
            if (i + ahead < leftCount)
                table.prefetch(leftKeys[i + ahead]);
            const quint32 id = table.idFor(leftKeys[i], nextId);
            if (id == m_representative.size())
                m_representative.push_back(quint64(i));
            m_left[size_t(i)] = id;
        }
        for (qsizetype j = 0; j < rightCount; ++j) {
            if (j + ahead < rightCount)
                table.prefetch(rightKeys[j + ahead]);
            const quint32 id = table.idFor(rightKeys[j], nextId);
            if (id == m_representative.size())
                m_representative.push_back(m_leftCount + quint64(j));
            m_right[size_t(j)] = id;
        }
        m_leftOccurrences.assign(nextId, 0);
        m_rightOccurrences.assign(nextId, 0);
        for (quint32 id : m_left)
            m_leftOccurrences[id] = quint8(std::min(2, m_leftOccurrences[id] + 1));
        for (quint32 id : m_right)
            m_rightOccurrences[id] = quint8(std::min(2, m_rightOccurrences[id] + 1));
    }

    Result run()
    {
        Result result;
        for (size_t i = 0; i < m_left.size(); ++i) {
            if (m_rightOccurrences[m_left[i]] == 0)
                result.removedIndexes.addIndex(i);
        }
        for (size_t j = 0; j < m_right.size(); ++j) {
            if (m_leftOccurrences[m_right[j]] == 0)
                result.insertedIndexes.addIndex(j);
        }
        ScratchVector<quint32> working = buildWorkingList(result);
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
    // W: the left list without the removed positions, then each inserted element of the right
    // list at its own position, ascending. A position past the end (only possible when the
    // lengths cannot match) appends.
    ScratchVector<quint32> buildWorkingList(const Result &result) const
    {
        ScratchVector<quint32> kept;
        kept.reserve(m_left.size());
        for (size_t i = 0; i < m_left.size(); ++i) {
            if (m_rightOccurrences[m_left[i]] != 0)
                kept.push_back(m_left[i]);
        }
        ScratchVector<quint32> working;
        working.reserve(kept.size() + result.insertedIndexes.count());
        size_t next = 0;
        for (quint64 j : result.insertedIndexes) {
            while (working.size() < j && next < kept.size())
                working.push_back(kept[next++]);
            working.push_back(m_right[j]);
        }
        working.insert(working.end(), kept.begin() + qsizetype(next), kept.end());
        return working;
    }

    // Equality is reflexive, so an element in its own place needs no call to isEqual().
    bool equalsRightByValue(const ScratchVector<quint32> &working) const
    {
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

    // Orders the ids of `records` by distance, largest first, keeping their order among equal
    // distances (a stable counting sort).
    static void sortByDistance(ScratchVector<quint32> &records,
                               const ScratchVector<quint64> &distances,
                               ScratchVector<quint32> &scratch)
    {
        if (records.size() < 2)
            return;
        quint64 largest = 0;
        for (quint64 d : distances)
            largest = std::max(largest, d);
        if (largest > 4 * quint64(records.size()) + 1024) {
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

    // Passes end when W equals the right list by value. A pass without a move, or a pass that
    // brings W back to a state it had before, can never reach that, so both end the comparison
    // with an exception rather than going on forever.
    void checkProgress(bool moved, const ScratchVector<quint32> &working,
                       std::unordered_set<quint64> &seenStates) const
    {
        if (!moved) {
            throw QMInternalInconsistencyException(
                    QStringLiteral("Expected a comparison pass to move an element, but the current "
                                   "array (%1) differs from the final array (%2) by value and no "
                                   "element is out of place")
                            .arg(identifiers(working), identifiers(m_right)));
        }
        quint64 state = 1469598103934665603ULL;
        for (quint32 id : working)
            state = (state ^ id) * 1099511628211ULL;
        if (!seenStates.insert(state).second) {
            throw QMInternalInconsistencyException(
                    QStringLiteral("Expected comparison passes to reach the final array (%2), but "
                                   "they repeat the current array (%1)")
                            .arg(identifiers(working), identifiers(m_right)));
        }
    }

    void moveByIdentity(ScratchVector<quint32> &working, QMMovePairList &moves) const
    {
        // Positions by identity are unambiguous only when every element occurs once.
        for (size_t k = 0; k < m_left.size() + m_right.size(); ++k) {
            const quint32 id = k < m_left.size() ? m_left[k] : m_right[k - m_left.size()];
            if (m_leftOccurrences[id] > 1 || m_rightOccurrences[id] > 1) {
                throw QMInternalInconsistencyException(
                        QStringLiteral("Expected every element once in each array, but %1 occurs "
                                       "more than once")
                                .arg(identifierOf(id)));
            }
        }
        ScratchVector<quint64> target(m_representative.size(), quint64(QMNotFound));
        for (size_t j = 0; j < m_right.size(); ++j)
            target[m_right[j]] = j;

        BlockList list(working, m_representative.size());
        std::unordered_set<quint64> seenStates;
        ScratchVector<quint32> records;
        ScratchVector<quint64> distances;
        ScratchVector<quint32> scratch;
        do {
            records.clear();
            distances.clear();
            for (size_t p = 0; p < working.size(); ++p) {
                const quint32 id = working[p];
                if (target[id] != p) {
                    records.push_back(id);
                    distances.push_back(recordDistance(p, target[id]));
                }
            }
            sortByDistance(records, distances, scratch);
            bool moved = false;
            for (quint32 id : records) {
                const quint64 from = list.position(id);
                const quint64 to = target[id];
                if (from != to) {
                    list.move(id, to);
                    moves.append(QMMovePair(from, to));
                    moved = true;
                }
            }
            list.flatten(working);
            checkProgress(moved, working, seenStates);
        } while (!equalsRightByValue(working));
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

        std::unordered_set<quint64> seenStates;
        ScratchVector<quint64> here(working.size());
        ScratchVector<quint32> records;
        ScratchVector<quint64> distances;
        ScratchVector<quint32> scratch;
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
            bool moved = false;
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
            checkProgress(moved, working, seenStates);
        } while (!equalsRightByValue(working));
    }

    const quint64 m_leftCount;
    const bool m_hasComparator;
    const Elements &m_elements;
    ScratchVector<quint32> m_left;
    ScratchVector<quint32> m_right;
    ScratchVector<quint64> m_representative;
    ScratchVector<quint8> m_leftOccurrences;
    ScratchVector<quint8> m_rightOccurrences;
};

} // namespace

Result compare(const quintptr *leftKeys, qsizetype leftCount, const quintptr *rightKeys,
               qsizetype rightCount, bool hasComparator, const Elements &elements)
{
    return Comparison(leftKeys, leftCount, rightKeys, rightCount, hasComparator, elements).run();
}

} // namespace QMArrayComparison
