#pragma once

// Test-only: the byte streams that the interleaving writer (InterleavedWriter.cpp) sends to its
// standard output and standard error, so that a test can rebuild exactly what it must receive.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace InterleavedStreams {

/// Calls `emit(descriptor, data, size)` for each block, in order, until `total` bytes have been
/// emitted. Blocks alternate between the descriptors 1 and 2, with pseudo-random sizes from 1
/// byte to 192 KiB (more than a pipe holds, so some writes block) and contents taken from a
/// pseudo-random pool at pseudo-random places.
template<typename Emit>
void generate(std::uint32_t seed, std::size_t total, Emit emit)
{
    constexpr std::size_t LargeBlock = 192 * 1024;
    constexpr std::size_t PoolStarts = 1024 * 1024;
    std::uint32_t state = seed ? seed : 1;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    std::vector<char> pool(PoolStarts + LargeBlock);
    for (std::size_t i = 0; i < pool.size(); i += sizeof(std::uint32_t)) {
        const std::uint32_t value = next();
        std::memcpy(pool.data() + i, &value, sizeof value);
    }
    std::size_t written = 0;
    for (int descriptor = 1; written < total; descriptor = 3 - descriptor) {
        // Mostly small blocks, now and then a large one.
        const std::size_t limit = next() % 8 == 0 ? LargeBlock : 512;
        std::size_t size = 1 + next() % limit;
        if (size > total - written)
            size = total - written;
        emit(descriptor, pool.data() + next() % PoolStarts, size);
        written += size;
    }
}

} // namespace InterleavedStreams
