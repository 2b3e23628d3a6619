#pragma once

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

// Memory for the objects that every operation makes (the operation and its state), recycled
// between threads. One thread typically makes operations and another frees them: with the
// general allocator, each allocation on the one and each free on the other then goes through
// the same locked arena. Here a freeing thread keeps its blocks in a list of its own and hands
// them on in batches of 64, one lock per batch, and an allocating thread takes a whole batch
// when its own list runs dry. At most 16 batches wait between threads; beyond that, and for a
// thread that has ended, blocks go back to the general allocator.
//
// Under AddressSanitizer blocks are never recycled, so that a use after free is still caught.

#if defined(__SANITIZE_ADDRESS__)
#define QMF_RECYCLE_OPERATION_MEMORY 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMF_RECYCLE_OPERATION_MEMORY 0
#endif
#endif
#ifndef QMF_RECYCLE_OPERATION_MEMORY
#define QMF_RECYCLE_OPERATION_MEMORY 1
#endif

template<std::size_t Size, std::size_t Alignment>
class QMRecycledBlocks
{
public:
    static void *allocate()
    {
        if constexpr (QMF_RECYCLE_OPERATION_MEMORY) {
            ThreadBlocks &own = threadBlocks();
            if (!own.ended) {
                if (!own.ready.head)
                    own.ready = own.freed.head ? own.takeFreed() : depot().take();
                if (Node *node = own.ready.head) {
                    own.ready.head = node->next;
                    --own.ready.count;
                    node->~Node();
                    return node;
                }
            }
        }
        return ::operator new(Size, std::align_val_t(Alignment));
    }

    static void deallocate(void *block) noexcept
    {
        if constexpr (QMF_RECYCLE_OPERATION_MEMORY) {
            ThreadBlocks &own = threadBlocks();
            if (!own.ended) {
                own.freed.push(new (block) Node);
                if (own.freed.count == BatchSize)
                    depot().give(own.takeFreed());
                return;
            }
        }
        release(block);
    }

    /// The batches waiting between threads.
    static std::size_t waitingBatches() { return depot().size(); }

private:
    static_assert(Size >= sizeof(void *) && Alignment >= alignof(void *));
    static constexpr int BatchSize = 64;
    static constexpr std::size_t MaximumWaitingBatches = 16;

    struct Node
    {
        Node *next = nullptr;
    };

    struct Batch
    {
        Node *head = nullptr;
        int count = 0;

        void push(Node *node)
        {
            node->next = head;
            head = node;
            ++count;
        }
    };

    static void release(void *block) noexcept
    {
        ::operator delete(block, std::align_val_t(Alignment));
    }

    static void releaseAll(Batch batch) noexcept
    {
        while (Node *node = batch.head) {
            batch.head = node->next;
            node->~Node();
            release(node);
        }
    }

    // Batches between threads. Made once and never destroyed: blocks may be freed while
    // static objects are destroyed.
    class Depot
    {
    public:
        Batch take()
        {
            std::lock_guard lock(m_mutex);
            if (m_batches.empty())
                return {};
            const Batch batch = m_batches.back();
            m_batches.pop_back();
            return batch;
        }

        void give(Batch batch) noexcept
        {
            {
                std::lock_guard lock(m_mutex);
                if (m_batches.size() < MaximumWaitingBatches) {
                    m_batches.push_back(batch); // capacity reserved: does not throw
                    return;
                }
            }
            releaseAll(batch);
        }

        std::size_t size()
        {
            std::lock_guard lock(m_mutex);
            return m_batches.size();
        }

        Depot() { m_batches.reserve(MaximumWaitingBatches); }

    private:
        std::mutex m_mutex;
        std::vector<Batch> m_batches;
    };

    static Depot &depot()
    {
        static Depot *const made = new Depot;
        return *made;
    }

    // A thread's own blocks: `ready` to hand out, `freed` to hand on once a batch is full.
    struct ThreadBlocks
    {
        Batch ready;
        Batch freed;
        bool ended = false;

        Batch takeFreed()
        {
            const Batch batch = freed;
            freed = {};
            return batch;
        }

        ~ThreadBlocks()
        {
            ended = true;
            releaseAll(ready);
            ready = {};
            if (freed.head)
                depot().give(takeFreed());
        }
    };

    static ThreadBlocks &threadBlocks()
    {
        thread_local ThreadBlocks own;
        return own;
    }
};

/// An allocator for `std::allocate_shared` that recycles single objects through
/// QMRecycledBlocks; arrays go to the general allocator.
template<typename T>
class QMRecycledAllocator
{
public:
    using value_type = T;

    QMRecycledAllocator() = default;
    template<typename U>
    QMRecycledAllocator(const QMRecycledAllocator<U> &) noexcept
    { }

    T *allocate(std::size_t count)
    {
        if (count == 1)
            return static_cast<T *>(QMRecycledBlocks<sizeof(T), alignof(T)>::allocate());
        return std::allocator<T>().allocate(count);
    }

    void deallocate(T *pointer, std::size_t count) noexcept
    {
        if (count == 1)
            QMRecycledBlocks<sizeof(T), alignof(T)>::deallocate(pointer);
        else
            std::allocator<T>().deallocate(pointer, count);
    }

    template<typename U>
    bool operator==(const QMRecycledAllocator<U> &) const noexcept
    {
        return true;
    }
};
