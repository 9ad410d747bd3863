#include "bench/receive_clock.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "bench/alloc_counter.h"
#include "bench/bench.h"

namespace kn::bench {

namespace {
std::atomic<bool> g_bStamping{false};
std::atomic<uint64_t> g_nLastReceiveNs{0};
}  // namespace

void StampLibraryReceives(bool on) { g_bStamping.store(on); }

uint64_t LastLibraryReceiveNs() { return g_nLastReceiveNs.load(std::memory_order_acquire); }

}  // namespace kn::bench

// recv(2) straight to the kernel (recv is recvfrom without an address), plus
// the stamp. The library is linked into this binary, so its calls land here.
extern "C" ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    const long n = syscall(SYS_recvfrom, fd, buf, len, flags, nullptr, nullptr);
    if (n > 0 && kn::bench::g_bStamping.load(std::memory_order_relaxed) && !kn::bench::IsBenchThread()) {
        kn::bench::g_nLastReceiveNs.store(kn::bench::NowNs(), std::memory_order_release);
    }
    return static_cast<ssize_t>(n);
}
