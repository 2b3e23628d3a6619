#pragma once

// Test-only: the byte streams that the interleaving writer (InterleavedWriter.cpp) sends to its
// standard output and standard error, so that a test can rebuild exactly what it must receive.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace InterleavedStreams {

struct Block
{
    int descriptor; ///< 1 or 2
    std::vector<char> bytes;
};

/// Calls `emit(block)` for each block, in order, until `total` bytes have been emitted. Blocks
/// alternate between the two descriptors, with pseudo-random sizes from 1 byte to 192 KiB (more
/// than a pipe holds, so some writes block) and pseudo-random contents.
template<typename Emit>
void generate(std::uint32_t seed, std::size_t total, Emit emit)
{
    std::uint32_t state = seed ? seed : 1;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    std::size_t written = 0;
    for (int descriptor = 1; written < total; descriptor = 3 - descriptor) {
        // Mostly small blocks, now and then a large one.
        const std::uint32_t roll = next();
        const std::size_t limit = roll % 8 == 0 ? 192 * 1024 : 512;
        std::size_t size = 1 + next() % limit;
        if (size > total - written)
            size = total - written;
        Block block {descriptor, std::vector<char>(size)};
        for (char &byte : block.bytes)
            byte = char(next() >> 24);
        written += size;
        emit(block);
    }
}

} // namespace InterleavedStreams
