// The Linux backend's thread helpers: thread ids, names, sleeping and the
// monotonic clock.
#include "platform/thread.h"

#include <cerrno>
#include <cstring>

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace kn::platform {

uint32_t CurrentThreadId()
{
    thread_local const uint32_t tid = static_cast<uint32_t>(syscall(SYS_gettid));
    return tid;
}

void NameCurrentThread(const char *name)
{
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof(shortName) - 1);
    (void)pthread_setname_np(pthread_self(), shortName);
}

void SleepMs(uint32_t ms)
{
    timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
        // Interrupted by a signal: sleep what is left.
    }
}

uint64_t NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace kn::platform
