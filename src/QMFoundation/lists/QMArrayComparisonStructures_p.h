#pragma once

// The data structures of the array comparison (QMArrayComparison.cpp): scratch memory kept per
// thread, dense ids for identity keys, key filters, the table of pending keys and the working
// list as blocks of ids.
//
// Only QMArrayComparison.cpp includes this header. The structures sit in an unnamed namespace, so
// that they keep internal linkage there, and the compiler inlines them into the comparison's
// loops as it did when they were part of that file.

#include <QMFoundation/lists/QMArrayComparison.h>

#include <QtGlobal>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include <sys/mman.h>

namespace QMArrayComparison {

namespace {

constexpr quint32 kNoId = std::numeric_limits<quint32>::max();

// Large scratch memory, kept per thread between comparisons. A comparison of a hundred thousand
// elements touches several megabytes of scratch arrays; fresh from the kernel, every 4 KiB page of
// them costs a page fault and a clearing, which took longer than the comparison's own work. Blocks
// are therefore sized in powers of two and, when freed, kept for the next comparison on the same
// thread, up to kRetained bytes in all; the rest goes back to the system, and so does everything
// kept when the thread ends. Blocks of 2 MiB and more are 2 MiB aligned and offered to the kernel
// as transparent huge pages.
class ScratchPool
{
public:
    static constexpr size_t kSmallest = size_t(64) << 10; // smaller blocks come from the heap
    static constexpr size_t kHugePage = size_t(2) << 20;
    static constexpr size_t kRetained = size_t(32) << 20;

    // The size of the block that holds `bytes` (>= kSmallest).
    static size_t blockSize(size_t bytes) { return std::bit_ceil(bytes); }

    static void *take(size_t size)
    {
        if (ScratchPool *pool = local()) {
            std::vector<void *> &blocks = pool->m_free[std::countr_zero(size)];
            if (!blocks.empty()) {
                void *block = blocks.back();
                blocks.pop_back();
                pool->m_retained -= size;
                return block;
            }
        }
        void *block = size >= kHugePage ? std::aligned_alloc(kHugePage, size)
                                        : ::operator new(size, std::nothrow);
        if (!block)
            throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (size >= kHugePage)
            madvise(block, size, MADV_HUGEPAGE);
#endif
        return block;
    }

    static void give(void *block, size_t size) noexcept
    {
        ScratchPool *pool = local();
        if (pool && pool->m_retained + size <= kRetained) {
            try {
                pool->m_free[std::countr_zero(size)].push_back(block);
                pool->m_retained += size;
                return;
            } catch (const std::bad_alloc &) { }
        }
        release(block, size);
    }

private:
    ScratchPool() = default;
    ~ScratchPool()
    {
        for (size_t k = 0; k < std::size(m_free); ++k) {
            for (void *block : m_free[k])
                release(block, size_t(1) << k);
        }
    }

    static void release(void *block, size_t size) noexcept
    {
        if (size >= kHugePage)
            std::free(block);
        else
            ::operator delete(block);
    }

    // The thread's pool, or null while the thread ends (its pool is gone, blocks are freed).
    static ScratchPool *local()
    {
        // `ended` has no destructor, so it outlives the pool within the thread.
        thread_local bool ended = false;
        struct Owner
        {
            ScratchPool pool;
            ~Owner() { ended = true; }
        };
        if (ended)
            return nullptr;
        thread_local Owner owner;
        return &owner.pool;
    }

    std::vector<void *> m_free[64]; // by log2 of the block size
    size_t m_retained = 0;
};

// The allocator of the comparison's scratch arrays: small ones from the heap, large ones from the
// thread's ScratchPool.
template<typename T>
struct ScratchAllocator
{
    using value_type = T;

    ScratchAllocator() = default;
    template<typename U>
    ScratchAllocator(const ScratchAllocator<U> &) noexcept
    { }

    T *allocate(size_t n)
    {
        const size_t bytes = n * sizeof(T);
        if (bytes < ScratchPool::kSmallest)
            return static_cast<T *>(::operator new(bytes));
        return static_cast<T *>(ScratchPool::take(ScratchPool::blockSize(bytes)));
    }

    void deallocate(T *memory, size_t n) noexcept
    {
        const size_t bytes = n * sizeof(T);
        if (bytes < ScratchPool::kSmallest)
            ::operator delete(memory);
        else
            ScratchPool::give(memory, ScratchPool::blockSize(bytes));
    }

    // Elements are default-initialised: a scratch array is written before it is read, so
    // resize() need not clear it first.
    template<typename U>
    void construct(U *element) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void *>(element)) U;
    }
    template<typename U, typename... Args>
    void construct(U *element, Args &&...args)
    {
        ::new (static_cast<void *>(element)) U(std::forward<Args>(args)...);
    }

    template<typename U>
    bool operator==(const ScratchAllocator<U> &) const noexcept
    {
        return true;
    }
};

template<typename T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

// Fibonacci hashing: the tables take the high bits of the product. Addresses of items made one
// after another form arithmetic sequences, which it spreads more evenly than random keys for
// most strides; for some (96 bytes, for one) their high bits fall on a coarse lattice instead,
// so that a third of a thousand such keys shared a bit of a 16-bit filter. The key filter,
// which must tell repeats cheaply, then takes stronglyMixedKey().
inline quint64 mixedKey(quintptr key)
{
    return quint64(key) * 0x9E3779B97F4A7C15ULL;
}

// Folds the high half of the product into the low one and multiplies again: spreads keys of any
// pattern as random keys would be, in all 64 bits.
inline quint64 stronglyMixedKey(quintptr key)
{
    quint64 mix = mixedKey(key);
    mix ^= mix >> 32;
    return mix * 0xD6E8FEB86659FD93ULL;
}

// Dense ids for identity keys: open addressing with linear probing. A slot holds an id and 32
// other bits of the key's hash, so the table is half the size of one that holds keys, and a
// probe compares the key itself (kept per id) only when those bits agree, which for two
// different keys almost never happens. Keys may be any value, zero included (a null pointer is
// an element too). The table grows at three quarters full.
class IdTable
{
public:
    explicit IdTable(size_t expected)
    {
        m_keys.reserve(expected);
        allocate(expected * 2);
    }

    // The id of `key`, a new one (the number of keys seen so far) when the key is new.
    quint32 idFor(quintptr key)
    {
        const quint64 mix = mixed(key);
        size_t slot = mix >> m_shift;
        const auto tag = quint32(mix);
        while (true) {
            Slot &entry = m_slots[slot];
            if (entry.id == kNoId) {
                const auto id = quint32(m_keys.size());
                entry = Slot {tag, id};
                m_keys.push_back(key);
                if (m_keys.size() * 4 > m_slots.size() * 3)
                    grow();
                return id;
            }
            if (entry.tag == tag && m_keys[entry.id] == key)
                return entry.id;
            slot = (slot + 1) & m_mask;
        }
    }

    quint32 count() const { return quint32(m_keys.size()); }

    // Hides the memory latency of a lookup made a little later.
    void prefetch(quintptr key) const { __builtin_prefetch(&m_slots[mixed(key) >> m_shift]); }

private:
    struct Slot
    {
        quint32 tag = 0;
        quint32 id = kNoId;
    };

    static quint64 mixed(quintptr key) { return mixedKey(key); }

    void allocate(size_t wanted)
    {
        const size_t capacity = std::bit_ceil(std::max<size_t>(wanted, 16));
        m_slots.assign(capacity, Slot {});
        m_mask = capacity - 1;
        m_shift = 64 - std::countr_zero(capacity);
    }

    void grow()
    {
        allocate(m_slots.size() * 2);
        for (quint32 id = 0; id < m_keys.size(); ++id) {
            const quint64 mix = mixed(m_keys[id]);
            size_t slot = mix >> m_shift;
            while (m_slots[slot].id != kNoId)
                slot = (slot + 1) & m_mask;
            m_slots[slot] = Slot {quint32(mix), id};
        }
    }

    ScratchVector<Slot> m_slots;
    ScratchVector<quintptr> m_keys; // by id
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

// A hash of a working list: FNV-1a over the ids in eight interleaved lanes, which keeps eight
// multiplications in flight instead of one long chain of them.
inline quint64 stateOf(const ScratchVector<quint32> &ids)
{
    constexpr quint64 kBasis = 1469598103934665603ULL;
    constexpr quint64 kPrime = 1099511628211ULL;
    constexpr size_t kLanes = 8;
    quint64 lanes[kLanes];
    std::fill(std::begin(lanes), std::end(lanes), kBasis);
    const size_t whole = ids.size() / kLanes * kLanes;
    for (size_t p = 0; p < whole; p += kLanes) {
        for (size_t k = 0; k < kLanes; ++k)
            lanes[k] = (lanes[k] ^ ids[p + k]) * kPrime;
    }
    quint64 state = kBasis ^ ids.size();
    for (size_t p = whole; p < ids.size(); ++p)
        state = (state ^ ids[p]) * kPrime;
    for (quint64 lane : lanes)
        state = (state ^ lane) * kPrime;
    return state;
}

// The states of the working list that passes left it in, to tell a pass that brings it back to
// an earlier one. A sorted array: a comparison makes few passes, and each pass costs O(n)
// anyway, which an insertion (O(passes)) never exceeds.
class SeenStates
{
public:
    // False when `state` was seen before.
    bool insert(quint64 state)
    {
        const auto at = std::lower_bound(m_states.begin(), m_states.end(), state);
        if (at != m_states.end() && *at == state)
            return false;
        m_states.insert(at, state);
        return true;
    }

private:
    ScratchVector<quint64> m_states;
};

// Bits set by a list's keys, 16 to 32 bits per key (a table of the keys themselves for short
// lists): finds whether the list holds some key twice, and then tells keys that are surely not in
// the list.
class KeyFilter
{
public:
    // Whether some key occurs twice in `keys`, or nothing when too many keys share bits of the
    // filter for the answer to be cheap. Only keys whose bit another key set too (a repeat, or
    // a key with the same bit) are compared exactly, in a second sweep. With m bits, about
    // n * n / m of n distinct random keys share a bit (a sixteenth to a thirty-second of them
    // here), so the sweep gives up only at four times that. Bits come from mixedKey() first;
    // keys on its lattice share too many, and the filter is built again from
    // stronglyMixedKey(), which gives up only when many keys repeat.
    std::optional<bool> build(const quintptr *keys, size_t count)
    {
        m_exact = count <= kExactLimit;
        if (m_exact)
            return buildExact(keys, count);
        m_strongly = false;
        if (const std::optional<bool> answer = buildOnce(keys, count))
            return answer;
        m_strongly = true;
        return buildOnce(keys, count);
    }

    // False only when `key` is not among the keys the filter was built from.
    bool mayHold(quintptr key) const
    {
        if (m_exact)
            return holds(key);
        const size_t bit = bitOf(key);
        return m_bits[bit / 64] >> (bit % 64) & 1;
    }

private:
    // Up to this many keys, a table of the keys themselves (at most 128 KiB, near in the cache)
    // answers in one sweep, with no second sweep and no sort of suspects, and exactly.
    static constexpr size_t kExactLimit = 8192;
    // Marks a free slot; a key of that value is remembered apart.
    static constexpr quintptr kFree = ~quintptr(0);

    bool buildExact(const quintptr *keys, size_t count)
    {
        const size_t capacity = std::bit_ceil(std::clamp<size_t>(count * 4, 64, kExactLimit * 2));
        m_shift = 64 - std::countr_zero(capacity);
        m_keys.assign(capacity, kFree);
        m_holdsFree = false;
        const size_t mask = capacity - 1;
        quintptr *slots = m_keys.data();
        for (size_t k = 0; k < count; ++k) {
            const quintptr key = keys[k];
            if (key == kFree) [[unlikely]] {
                if (m_holdsFree)
                    return true;
                m_holdsFree = true;
                continue;
            }
            size_t slot = size_t(stronglyMixedKey(key) >> m_shift);
            while (slots[slot] != kFree) {
                if (slots[slot] == key)
                    return true;
                slot = (slot + 1) & mask;
            }
            slots[slot] = key;
        }
        return false;
    }

    bool holds(quintptr key) const
    {
        if (key == kFree)
            return m_holdsFree;
        const size_t mask = m_keys.size() - 1;
        for (size_t slot = size_t(stronglyMixedKey(key) >> m_shift); m_keys[slot] != kFree;
             slot = (slot + 1) & mask) {
            if (m_keys[slot] == key)
                return true;
        }
        return false;
    }

    std::optional<bool> buildOnce(const quintptr *keys, size_t count)
    {
        constexpr size_t kMaxBits = size_t(1) << 25; // 4 MiB, for lists of a million
        const size_t bits = std::min(kMaxBits, std::bit_ceil(std::max<size_t>(512, count * 16)));
        m_shift = 64 - std::countr_zero(bits);
        m_bits.assign(bits / 64, 0);
        ScratchVector<quint64> shared(bits / 64, 0); // the bits set more than once
        bool anyShared = false;
        for (size_t k = 0; k < count; ++k) {
            const size_t bit = bitOf(keys[k]);
            const quint64 mask = quint64(1) << (bit % 64);
            const quint64 before = m_bits[bit / 64];
            m_bits[bit / 64] = before | mask;
            if (before & mask) [[unlikely]] {
                shared[bit / 64] |= mask;
                anyShared = true;
            }
        }
        if (!anyShared)
            return false;
        ScratchVector<quintptr> suspects;
        for (size_t k = 0; k < count; ++k) {
            const size_t bit = bitOf(keys[k]);
            if (shared[bit / 64] >> (bit % 64) & 1) {
                suspects.push_back(keys[k]);
                if (suspects.size() > count / 4 + 64)
                    return std::nullopt;
            }
        }
        return anyRepeated(suspects);
    }

    size_t bitOf(quintptr key) const
    {
        return size_t((m_strongly ? stronglyMixedKey(key) : mixedKey(key)) >> m_shift);
    }

    // Whether a key occurs twice among keys that share bits of the filter. Of these only those
    // that also share a slot of a second table, indexed by the low bits of their strong mix, can
    // be repeats: few enough to sort.
    static bool anyRepeated(ScratchVector<quintptr> &keys)
    {
        if (keys.size() > 64) {
            const size_t mask = std::bit_ceil(keys.size() * 16) - 1;
            ScratchVector<quint8> counts(mask + 1, 0);
            for (quintptr key : keys) {
                quint8 &count = counts[size_t(stronglyMixedKey(key)) & mask];
                count = quint8(std::min(2, count + 1));
            }
            std::erase_if(keys, [&](quintptr key) {
                return counts[size_t(stronglyMixedKey(key)) & mask] < 2;
            });
        }
        std::sort(keys.begin(), keys.end());
        return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
    }

    ScratchVector<quint64> m_bits;
    ScratchVector<quintptr> m_keys; // the exact table
    int m_shift = 64;
    bool m_strongly = false;
    bool m_exact = false;
    bool m_holdsFree = false;
};

// Whether any of the few `sought` keys (sorted) occurs among `keys`: one sweep that turns away
// nearly every key with a bit test in the first-level cache.
inline bool anyOccursIn(const ScratchVector<quintptr> &sought, const quintptr *keys, size_t count)
{
    constexpr int kBits = 12;
    std::array<quint64, (1 << kBits) / 64> bits {};
    for (quintptr key : sought) {
        const size_t bit = mixedKey(key) >> (64 - kBits);
        bits[bit / 64] |= quint64(1) << (bit % 64);
    }
    for (size_t k = 0; k < count; ++k) {
        const size_t bit = mixedKey(keys[k]) >> (64 - kBits);
        if ((bits[bit / 64] >> (bit % 64) & 1)
            && std::binary_search(sought.begin(), sought.end(), keys[k]))
            return true;
    }
    return false;
}

// Positions of keys met on one side of a walk and not yet on the other: open addressing with
// linear probing, growing at half full. Entries are never removed; with no repeated keys a key
// is looked up at most once after it was added.
class PendingKeys
{
public:
    PendingKeys() { m_slots.assign(kInitialCapacity, Slot {}); }

    void insert(quintptr key, quint64 position)
    {
        if (2 * (m_count + 1) > m_slots.size())
            grow();
        place(key, position);
        ++m_count;
    }

    // The position stored with `key`, or kNotPending.
    quint64 find(quintptr key) const
    {
        const size_t mask = m_slots.size() - 1;
        for (size_t slot = slotOf(key); m_slots[slot].position != kNotPending;
             slot = (slot + 1) & mask) {
            if (m_slots[slot].key == key)
                return m_slots[slot].position;
        }
        return kNotPending;
    }

    size_t count() const { return m_count; }

    static constexpr quint64 kNotPending = std::numeric_limits<quint64>::max();

private:
    static constexpr size_t kInitialCapacity = 256;
    struct Slot
    {
        quintptr key = 0;
        quint64 position = kNotPending;
    };

    size_t slotOf(quintptr key) const { return size_t(mixedKey(key) >> (64 - m_bits)); }

    void place(quintptr key, quint64 position)
    {
        const size_t mask = m_slots.size() - 1;
        size_t slot = slotOf(key);
        while (m_slots[slot].position != kNotPending)
            slot = (slot + 1) & mask;
        m_slots[slot] = Slot {key, position};
    }

    void grow()
    {
        ScratchVector<Slot> old;
        old.swap(m_slots);
        m_slots.assign(2 * old.size(), Slot {});
        ++m_bits;
        for (const Slot &entry : old) {
            if (entry.position != kNotPending)
                place(entry.key, entry.position);
        }
    }

    ScratchVector<Slot> m_slots;
    size_t m_count = 0;
    int m_bits = std::countr_zero(kInitialCapacity);
};

// The working list as a sequence of small blocks of ids. Each id knows its block and its offset
// there; each block knows where it starts relative to its group of blocks, and each group where
// it starts in the list, so position() is O(1). move() shifts the ids after the gap in two
// blocks (O(B)) and the starts after them in two groups and in the group table
// (O(G + n / (B * G))); a block that grows past 2B makes the list rebuild itself evenly (O(n)),
// which happens rarely since moves land all over the list.
class BlockList
{
public:
    BlockList(const ScratchVector<quint32> &sequence, size_t idCount)
        : m_location(idCount)
    {
        rebuild(sequence);
    }

    quint64 position(quint32 id) const
    {
        const Location &location = m_location[id];
        return m_groupStart[location.block >> m_groupShift] + m_blockStart[location.block]
                + location.offset;
    }

    // Writes the list into `out`.
    void flatten(ScratchVector<quint32> &out) const
    {
        out.resize(m_count);
        quint32 *next = out.data();
        for (size_t b = 0; b < m_sizes.size(); ++b) {
            const quint32 *block = m_data.data() + b * kCapacity;
            next = std::copy(block, block + m_sizes[b], next);
        }
    }

    // Removes `id` from where it stands and inserts it so that it then stands at `to`.
    void move(quint32 id, quint64 to)
    {
        const Location from = m_location[id];
        quint32 *source = m_data.data() + size_t(from.block) * kCapacity;
        const quint32 sourceSize = --m_sizes[from.block];
        std::copy(source + from.offset + 1, source + sourceSize + 1, source + from.offset);
        for (size_t k = from.offset; k < sourceSize; ++k)
            --m_location[source[k]].offset;
        shiftStartsAfter(from.block, -1);

        // The block holding position `to` once the id is gone; past the end, the last block.
        const quint32 target = to >= m_count - 1 ? quint32(m_sizes.size() - 1) : blockAt(to);
        const auto offset
                = quint32(to - (m_groupStart[target >> m_groupShift] + m_blockStart[target]));
        quint32 *destination = m_data.data() + size_t(target) * kCapacity;
        const quint32 destinationSize = ++m_sizes[target];
        std::copy_backward(destination + offset, destination + destinationSize - 1,
                           destination + destinationSize);
        destination[offset] = id;
        for (size_t k = offset + 1; k < destinationSize; ++k)
            ++m_location[destination[k]].offset;
        m_location[id] = Location {target, offset};
        shiftStartsAfter(target, +1);

        if (destinationSize == kCapacity) {
            ScratchVector<quint32> sequence;
            flatten(sequence);
            rebuild(sequence);
        }
    }

private:
    // Not cleared when made: rebuild() writes every id's location.
    struct Location
    {
        quint32 block;
        quint32 offset;
    };

    // The blocks after `block` in its group, and the groups after its group, start `delta`
    // later.
    void shiftStartsAfter(quint32 block, qint64 delta)
    {
        const size_t group = block >> m_groupShift;
        const size_t groupEnd = std::min(m_sizes.size(), (group + 1) << m_groupShift);
        for (size_t b = block + 1; b < groupEnd; ++b)
            m_blockStart[b] = quint64(qint64(m_blockStart[b]) + delta);
        for (size_t g = group + 1; g < m_groupStart.size(); ++g)
            m_groupStart[g] = quint64(qint64(m_groupStart[g]) + delta);
    }

    // The last block that starts at or before `to` (< count), skipping empty blocks: the one
    // that holds position `to`.
    quint32 blockAt(quint64 to) const
    {
        const auto group = size_t(std::upper_bound(m_groupStart.begin(), m_groupStart.end(), to)
                                  - m_groupStart.begin() - 1);
        const quint64 relative = to - m_groupStart[group];
        const size_t first = group << m_groupShift;
        const size_t end = std::min(m_sizes.size(), first + (size_t(1) << m_groupShift));
        const auto block = size_t(std::upper_bound(m_blockStart.begin() + qsizetype(first),
                                                   m_blockStart.begin() + qsizetype(end), relative)
                                  - m_blockStart.begin() - 1);
        return quint32(block);
    }

    void rebuild(const ScratchVector<quint32> &sequence)
    {
        m_count = sequence.size();
        const size_t count = std::max<size_t>(1, (sequence.size() + kBlockSize - 1) / kBlockSize);
        // Groups of about sqrt(blocks) blocks, at least 16, balance the two loops of a shift.
        m_groupShift = std::max(4, int(std::bit_width(count)) / 2);
        m_data.resize(count * kCapacity);
        m_sizes.resize(count);
        m_blockStart.assign(count, 0);
        m_groupStart.assign(((count - 1) >> m_groupShift) + 1, 0);
        for (size_t b = 0; b < count; ++b) {
            const size_t first = std::min(sequence.size(), b * kBlockSize);
            const size_t last = std::min(sequence.size(), first + kBlockSize);
            std::copy(sequence.begin() + qsizetype(first), sequence.begin() + qsizetype(last),
                      m_data.begin() + qsizetype(b * kCapacity));
            m_sizes[b] = quint32(last - first);
            for (size_t k = first; k < last; ++k)
                m_location[sequence[k]] = Location {quint32(b), quint32(k - first)};
            const size_t groupFirst = (b >> m_groupShift) << m_groupShift;
            if (b == groupFirst)
                m_groupStart[b >> m_groupShift] = first;
            m_blockStart[b] = first - m_groupStart[b >> m_groupShift];
        }
    }

    static constexpr size_t kBlockSize = 64;
    quint64 m_count = 0;
    int m_groupShift = 4;
    // Block b holds m_sizes[b] ids from m_data[b * kCapacity]; a block that fills up makes the
    // list rebuild itself.
    static constexpr size_t kCapacity = 2 * kBlockSize;
    ScratchVector<quint32> m_data;
    ScratchVector<quint32> m_sizes;
    ScratchVector<quint64> m_blockStart; // relative to the block's group
    ScratchVector<quint64> m_groupStart;
    ScratchVector<Location> m_location;
};

} // namespace

} // namespace QMArrayComparison
