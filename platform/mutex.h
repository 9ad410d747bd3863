// Mutexes. Plain, non-recursive; hold them only around short, bounded work.
#pragma once

#include <condition_variable>
#include <mutex>

namespace kn::platform {

using CMutex = std::mutex;
using CLock = std::unique_lock<std::mutex>;
using CLockGuard = std::lock_guard<std::mutex>;
using CCondition = std::condition_variable;

}  // namespace kn::platform
