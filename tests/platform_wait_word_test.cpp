// The futex word the frame queue sleeps on, and the spinning mutex it locks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/mutex.h"
#include "platform/wait_word.h"

using kn::platform::CSpinningMutex;
using kn::platform::CWaitWord;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kLongMs = 20000;

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(WaitWordThread, BumpWakesASleeper)
{
    CWaitWord word;
    std::atomic<bool> asleep{false};
    std::atomic<int64_t> sleptMs{-1};
    const uint32_t seen = word.Value();
    std::thread sleeper([&] {
        const auto start = Clock::now();
        asleep = true;
        // A spurious return is allowed: sleep again until the word moved.
        while (word.Value() == seen && MsSince(start) < kLongMs) {
            word.Wait(seen, kLongMs);
        }
        sleptMs = MsSince(start);
    });
    while (!asleep) {
        std::this_thread::yield();
    }
    word.Bump();
    sleeper.join();
    EXPECT_NE(seen, word.Value());
    EXPECT_LT(sleptMs.load(), static_cast<int64_t>(kLongMs / 2));
}

TEST(WaitWord, AStaleValueNeverSleeps)
{
    CWaitWord word;
    const uint32_t seen = word.Value();
    word.Bump();  // between the look and the sleep: the sleep must not start
    const auto start = Clock::now();
    word.Wait(seen, kLongMs);
    EXPECT_LT(MsSince(start), static_cast<int64_t>(kLongMs / 2));
}

TEST(WaitWord, WaitEndsAtItsTimeOut)
{
    CWaitWord word;
    const auto start = Clock::now();
    word.Wait(word.Value(), 30);
    EXPECT_GE(MsSince(start), 25);
}

TEST(SpinningMutexThread, KeepsTwoBusyThreadsOutOfEachOther)
{
    CSpinningMutex mutex;
    int64_t counter = 0;  // plain: only the mutex protects it
    constexpr int kRounds = 200000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            std::lock_guard<CSpinningMutex> lock(mutex);
            ++counter;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(2 * kRounds, counter);
    ASSERT_TRUE(mutex.try_lock());
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = mutex.try_lock(); }).join();
    EXPECT_FALSE(otherGotIt);
    mutex.unlock();
}
