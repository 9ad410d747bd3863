// Shared pieces of kestrel-bench: the clock, the result table and the
// scenarios. Each scenario measures the library and, where one applies, a
// plain-socket baseline in the same run, and appends its rows to the table.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kn::bench {

inline uint64_t NowNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// CPU time used so far by the whole process (every thread), user + system.
double ProcessCpuUs();

struct Row {
    std::string measure;
    std::string library;
    std::string baseline;  // empty when no baseline applies
    std::string target;
    bool met = false;
};
using Rows = std::vector<Row>;

// printf into a std::string.
std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Media path against CLoopbackRecorder: throughput with drops and
// allocations, then latency at 1000 frames/s.
void RunThroughput(Rows &rows);
void RunLatency(Rows &rows);
// Against the recorder emulator: idle cost of 100 live streams and stop latency.
void RunIdleAndStop(Rows &rows);

}  // namespace kn::bench
