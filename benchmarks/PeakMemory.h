#pragma once

// The peak resident memory of the whole process while one benchmark runs, reported as the
// counter peak_MiB beside its time. The kernel's high-water mark (VmHWM in /proc/self/status) is
// reset when the benchmark starts (writing 5 to /proc/self/clear_refs) and read when it ends, so
// each benchmark of a program reports its own peak: what it allocated and touched on top of
// what the process already held. Where the reset is refused, the figure is the process's peak
// so far, which can only be larger.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace PeakMemory {

inline void resetPeak()
{
    if (std::FILE *file = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", file);
        std::fclose(file);
    }
}

// VmHWM in MiB; -1 where /proc cannot be read.
inline double peakMiB()
{
    std::FILE *file = std::fopen("/proc/self/status", "r");
    if (!file)
        return -1;
    char line[256];
    double kiB = -1;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            kiB = double(std::strtoll(line + 6, nullptr, 10));
            break;
        }
    }
    std::fclose(file);
    return kiB < 0 ? -1 : kiB / 1024.0;
}

// Made first in a benchmark function: resets the mark; at the function's end (after the timed
// loop) sets the counter.
class Scope
{
public:
    explicit Scope(benchmark::State &state)
        : m_state(state)
    {
        resetPeak();
    }
    ~Scope() { m_state.counters["peak_MiB"] = peakMiB(); }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

private:
    benchmark::State &m_state;
};

} // namespace PeakMemory
