#pragma once

// Reproducible pairs of lists for the list benchmarks: the numbers 0 to n - 1 as the old list,
// and a new list made from it by changes drawn from a fixed seed. Items are numbers here, so the
// same pairs serve the library's lists, dtl's sequences and the lines of files for `qmf diff`.

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace ListInputs {

// - OnePercent: n / 100 changes, a third each deletes, inserts and moves.
// - TenKDeletedTenKInserted: 10,000 deleted and 10,000 inserted at random positions.
// - FullShuffle: the same items in a random order.
enum class Kind { OnePercent, TenKDeletedTenKInserted, FullShuffle };

struct Lists
{
    std::vector<std::int64_t> oldList;
    std::vector<std::int64_t> newList;
};

inline Lists make(Kind kind, std::int64_t n)
{
    std::mt19937_64 random(std::uint64_t(n) * 31 + std::uint64_t(kind));
    Lists lists;
    lists.oldList.reserve(std::size_t(n));
    for (std::int64_t i = 0; i < n; ++i)
        lists.oldList.push_back(i);
    std::vector<std::int64_t> list = lists.oldList;
    std::int64_t serial = n;
    using Position = std::int64_t;
    const auto removeRandom = [&](std::int64_t count) {
        std::vector<char> gone(list.size(), 0);
        std::uniform_int_distribution<Position> at(0, Position(list.size()) - 1);
        for (std::int64_t k = 0; k < count; ++k) {
            Position p = at(random);
            while (gone[std::size_t(p)])
                p = at(random);
            gone[std::size_t(p)] = 1;
        }
        std::vector<std::int64_t> kept;
        for (std::size_t p = 0; p < list.size(); ++p) {
            if (!gone[p])
                kept.push_back(list[p]);
        }
        list = std::move(kept);
    };
    const auto insertRandom = [&](std::int64_t count) {
        // Insert at sorted random positions in one sweep, so building a million-item input
        // stays linear.
        std::vector<Position> positions(static_cast<std::size_t>(count));
        std::uniform_int_distribution<Position> at(0, Position(list.size()));
        for (auto &p : positions)
            p = at(random);
        std::sort(positions.begin(), positions.end());
        std::vector<std::int64_t> merged;
        merged.reserve(list.size() + std::size_t(count));
        std::size_t next = 0;
        for (Position p = 0; p <= Position(list.size()); ++p) {
            while (next < positions.size() && positions[next] == p) {
                merged.push_back(serial++);
                ++next;
            }
            if (p < Position(list.size()))
                merged.push_back(list[std::size_t(p)]);
        }
        list = std::move(merged);
    };
    switch (kind) {
    case Kind::OnePercent: {
        const std::int64_t changes = std::max<std::int64_t>(3, n / 100);
        removeRandom(changes / 3);
        insertRandom(changes / 3);
        // Moves: take items out and put them back elsewhere (what QList::move() does), each
        // linear, fine for a few thousand.
        std::uniform_int_distribution<Position> at(0, Position(list.size()) - 1);
        for (std::int64_t k = 0; k < changes - 2 * (changes / 3); ++k) {
            const Position from = at(random);
            const Position to = at(random);
            const auto begin = list.begin();
            if (from < to)
                std::rotate(begin + from, begin + from + 1, begin + to + 1);
            else if (to < from)
                std::rotate(begin + to, begin + from, begin + from + 1);
        }
        break;
    }
    case Kind::TenKDeletedTenKInserted:
        removeRandom(10000);
        insertRandom(10000);
        break;
    case Kind::FullShuffle:
        std::shuffle(list.begin(), list.end(), random);
        break;
    }
    lists.newList = std::move(list);
    return lists;
}

} // namespace ListInputs
