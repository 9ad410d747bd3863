// Bounded polling for tests: waits for a condition that another thread makes
// true, without sleeping a guessed time.
#pragma once

#include "platform/thread.h"

#include <cstdint>

namespace kn::test {

constexpr uint32_t kLongWaitMs = 10000;

// True once cond() holds; false when it still does not after timeoutMs.
template <typename Cond>
bool Eventually(Cond cond, uint32_t timeoutMs = kLongWaitMs)
{
    const uint64_t deadline = platform::NowMs() + timeoutMs;
    while (!cond()) {
        if (platform::NowMs() >= deadline) {
            return false;
        }
        platform::SleepMs(1);
    }
    return true;
}

}  // namespace kn::test
