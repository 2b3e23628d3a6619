#pragma once

#include <chrono>

/// The point `timeout` after now, or the furthest point the clock can name when that is beyond
/// it: a plain `now() + timeout` overflows for very long time-outs (`milliseconds::max()` has
/// no nanosecond equivalent), which is undefined behaviour and in practice a deadline in the
/// past, so that a wait meant to be endless would give up at once. A negative time-out is now.
inline std::chrono::steady_clock::time_point QMDeadlineAfter(std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    if (timeout <= std::chrono::milliseconds::zero())
        return now;
    // Compared in milliseconds, which hold the room left without overflowing.
    const auto room = std::chrono::floor<std::chrono::milliseconds>(Clock::time_point::max() - now);
    if (timeout >= room)
        return Clock::time_point::max();
    return now + timeout;
}
