// Counts heap allocations made by threads other than the benchmark's own,
// that is by the library's threads, while counting is switched on. The
// benchmark binary replaces malloc, calloc, realloc and operator new with
// counting wrappers around the C library's allocator.
#pragma once

#include <cstdint>

namespace kn::bench {

// Allocations made on the calling thread are never counted. Every thread of
// the benchmark itself (driver, loopback recorder, senders) calls this first.
void MarkBenchThread();
// True on a thread that called MarkBenchThread.
bool IsBenchThread();

void StartCountingAllocations();
// Stops counting; returns the number of allocations counted since the start.
uint64_t StopCountingAllocations();

// Prints the caller addresses of the first counted allocations (at most 16),
// symbolised where the binary allows it, to standard error.
void PrintAllocationSites();

}  // namespace kn::bench
