#include "bench/alloc_counter.h"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

namespace {

constexpr int kSiteCount = 16;

std::atomic<bool> g_bCounting{false};
std::atomic<uint64_t> g_nAllocations{0};
std::atomic<void *> g_Sites[kSiteCount];
// Plain thread-local bool: static TLS in the executable, so reading it never
// allocates (it is read inside malloc).
thread_local bool t_bBenchThread = false;

inline void Note(void *caller)
{
    if (!g_bCounting.load(std::memory_order_relaxed) || t_bBenchThread) {
        return;
    }
    const uint64_t n = g_nAllocations.fetch_add(1, std::memory_order_relaxed);
    if (n < kSiteCount) {
        g_Sites[n].store(caller, std::memory_order_relaxed);
    }
}

void *NewOrThrow(size_t size, void *caller)
{
    Note(caller);
    void *p = __libc_malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

}  // namespace

extern "C" void *malloc(size_t size)
{
    Note(__builtin_return_address(0));
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    Note(__builtin_return_address(0));
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *p, size_t size)
{
    Note(__builtin_return_address(0));
    return __libc_realloc(p, size);
}

void *operator new(size_t size) { return NewOrThrow(size, __builtin_return_address(0)); }
void *operator new[](size_t size) { return NewOrThrow(size, __builtin_return_address(0)); }
void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    Note(__builtin_return_address(0));
    return __libc_malloc(size == 0 ? 1 : size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    Note(__builtin_return_address(0));
    return __libc_malloc(size == 0 ? 1 : size);
}
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }

namespace kn::bench {

void MarkBenchThread() { t_bBenchThread = true; }

bool IsBenchThread() { return t_bBenchThread; }

void StartCountingAllocations()
{
    g_nAllocations.store(0);
    g_bCounting.store(true);
}

uint64_t StopCountingAllocations()
{
    g_bCounting.store(false);
    return g_nAllocations.load();
}

void PrintAllocationSites()
{
    void *sites[kSiteCount];
    const uint64_t n = g_nAllocations.load();
    const int count = static_cast<int>(n < kSiteCount ? n : kSiteCount);
    for (int i = 0; i < count; ++i) {
        sites[i] = g_Sites[i].load();
    }
    if (count > 0) {
        std::fprintf(stderr, "first counted allocation sites (addr2line -Cfe <binary> <address>):\n");
        backtrace_symbols_fd(sites, count, STDERR_FILENO);
    }
}

}  // namespace kn::bench
