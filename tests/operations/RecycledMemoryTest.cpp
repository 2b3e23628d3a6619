#include "QMFoundation/operations/QMRecycledMemory_p.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

// A size of its own, so that no operation made elsewhere in the process shares the blocks.
using Blocks = QMRecycledBlocks<136, 8>;

std::vector<void *> allocateOnAThread(int count)
{
    std::vector<void *> blocks;
    std::thread([&] {
        for (int i = 0; i < count; ++i)
            blocks.push_back(Blocks::allocate());
    }).join();
    return blocks;
}

void deallocateOnAThread(const std::vector<void *> &blocks)
{
    std::thread([&] {
        for (void *block : blocks)
            Blocks::deallocate(block);
    }).join();
}

} // namespace

// Blocks freed on one thread serve another, in batches; only 16 batches wait between threads
// (the rest go back to the system), and a thread that ends hands its part batch on.
TEST(RecycledMemoryTest, BlocksFreedOnOneThreadServeAnotherWithinABound)
{
    if (!QMF_RECYCLE_OPERATION_MEMORY)
        GTEST_SKIP() << "blocks are not recycled under AddressSanitizer";
    ASSERT_EQ(Blocks::waitingBatches(), 0u);
    const std::vector<void *> made = allocateOnAThread(100 * 64 + 10);
    deallocateOnAThread(made);
    EXPECT_EQ(Blocks::waitingBatches(), 16u);

    // A batch taken whole: every block is one that was freed, and one batch fewer waits.
    const std::vector<void *> again = allocateOnAThread(64);
    EXPECT_EQ(Blocks::waitingBatches(), 15u);
    const std::set<void *> known(made.begin(), made.end());
    for (void *block : again)
        EXPECT_TRUE(known.count(block)) << block;
    EXPECT_EQ(std::set<void *>(again.begin(), again.end()).size(), again.size());

    // Ten freed by a thread that then ends: handed on as a batch of their own.
    deallocateOnAThread({again.begin(), again.begin() + 10});
    EXPECT_EQ(Blocks::waitingBatches(), 16u);
    deallocateOnAThread({again.begin() + 10, again.end()});
}
