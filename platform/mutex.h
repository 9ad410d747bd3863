// Mutexes. Plain, non-recursive; hold them only around short, bounded work.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/types.h"

namespace kn::platform {

using CMutex = std::mutex;
using CLock = std::unique_lock<std::mutex>;
using CLockGuard = std::lock_guard<std::mutex>;
using CCondition = std::condition_variable;

// A mutex for sections of a few dozen instructions that two busy threads
// enter often: a thread that finds it held spins briefly before it sleeps,
// since the holder will be out long before a sleep and wake-up could end.
// Works with std::lock_guard and std::unique_lock.
class CSpinningMutex {
public:
    CSpinningMutex();
    ~CSpinningMutex();
    CSpinningMutex(const CSpinningMutex &) = delete;
    CSpinningMutex &operator=(const CSpinningMutex &) = delete;

    void lock();
    void unlock();
    bool try_lock();

private:
    SpinMutexNative m_Native;
};

}  // namespace kn::platform
