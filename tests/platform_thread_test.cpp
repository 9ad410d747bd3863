// CThread and the clock helpers: the stop rule (timed join, then detach),
// stopping from inside the body, and what a detached body keeps alive.
#include "platform/event.h"
#include "platform/thread.h"
#include "tests/support/eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace kn::platform {
namespace {

constexpr uint32_t kLongMs = test::kLongWaitMs;

using test::Eventually;

TEST(PlatformThread, StopOfQuickThreadJoins)
{
    CThread thread;
    EXPECT_FALSE(thread.Started());
    EXPECT_TRUE(thread.Stop(0));  // nothing started

    std::atomic<bool> ran{false};
    ASSERT_TRUE(thread.Start([&] { ran = true; }));
    EXPECT_TRUE(thread.Started());
    EXPECT_TRUE(thread.Stop(kLongMs));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(thread.Started());
    EXPECT_TRUE(thread.Stop(0));
}

TEST(PlatformThread, StartWhileHeldFailsAndHandleIsReusable)
{
    CThread thread;
    CEvent release;
    ASSERT_TRUE(thread.Start([&] { release.Wait(kLongMs); }));
    EXPECT_FALSE(thread.Start([] {}));
    EXPECT_FALSE(thread.Start(nullptr));
    release.Set();
    ASSERT_TRUE(thread.Stop(kLongMs));

    std::atomic<int> runs{0};
    ASSERT_TRUE(thread.Start([&] { ++runs; }));
    EXPECT_TRUE(thread.Stop(kLongMs));
    EXPECT_EQ(runs, 1);
}

// A worker past its grace is detached; the object its body holds stays alive
// until the body returns, and is released then.
TEST(PlatformThread, StopPastGraceDetachesAndBodyKeepsItsObject)
{
    struct Worker {
        CEvent release;
        std::atomic<bool> bodyEnded{false};
    };
    auto worker = std::make_shared<Worker>();
    std::weak_ptr<Worker> watch = worker;
    // Owned by the test too, to look at after the worker is gone.
    auto ended = std::make_shared<std::atomic<bool>>(false);

    CThread thread;
    ASSERT_TRUE(thread.Start([worker, ended] {
        worker->release.Wait(kLongMs);
        worker->bodyEnded = true;
        *ended = true;
    }));
    Worker *raw = worker.get();
    worker.reset();  // the body now holds the only reference

    const uint64_t start = NowMs();
    EXPECT_FALSE(thread.Stop(30));
    EXPECT_GE(NowMs() - start, 30u);
    EXPECT_FALSE(thread.Started());
    EXPECT_FALSE(watch.expired());
    EXPECT_FALSE(*ended);

    raw->release.Set();
    EXPECT_TRUE(Eventually([&] { return watch.expired(); }));
    EXPECT_TRUE(*ended);
}

TEST(PlatformThread, StopWaitsForBodyAndReleasesItsCaptures)
{
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    CEvent started;
    CThread thread;
    ASSERT_TRUE(thread.Start([token, &started] {
        started.Set();
        SleepMs(20);
    }));
    token.reset();
    ASSERT_TRUE(started.Wait(kLongMs));
    EXPECT_TRUE(thread.Stop(kLongMs));
    // A successful stop means the body's captures are already gone.
    EXPECT_TRUE(watch.expired());
}

TEST(PlatformThread, StopFromInsideBodyReturnsAtOnce)
{
    CThread thread;
    std::atomic<int> stopResult{-1};
    std::atomic<bool> wasCurrent{false};
    std::atomic<bool> stillStarted{true};
    auto token = std::make_shared<int>(1);
    std::weak_ptr<int> watch = token;
    CEvent go;

    ASSERT_TRUE(thread.Start([&, token] {
        go.Wait(kLongMs);
        wasCurrent = thread.IsCurrent();
        // Far longer than the bound below: a thread waiting for itself
        // would be caught.
        stopResult = thread.Stop(60000) ? 1 : 0;
        stillStarted = thread.Started();
    }));
    token.reset();
    go.Set();
    EXPECT_TRUE(Eventually([&] { return watch.expired(); }));
    EXPECT_EQ(stopResult, 0);
    EXPECT_TRUE(wasCurrent);
    EXPECT_FALSE(stillStarted);
    EXPECT_TRUE(thread.Stop(0));  // handle already empty
}

TEST(PlatformThread, IsCurrentOnlyOnItsThread)
{
    CThread thread;
    EXPECT_FALSE(thread.IsCurrent());
    std::atomic<bool> inside{false};
    ASSERT_TRUE(thread.Start([&] { inside = thread.IsCurrent(); }));
    EXPECT_FALSE(thread.IsCurrent());
    EXPECT_TRUE(thread.Stop(kLongMs));
    EXPECT_TRUE(inside);

    CThread other;
    std::atomic<bool> otherSeesFirst{true};
    CEvent release;
    ASSERT_TRUE(thread.Start([&] { release.Wait(kLongMs); }));
    ASSERT_TRUE(other.Start([&] { otherSeesFirst = thread.IsCurrent(); }));
    EXPECT_TRUE(other.Stop(kLongMs));
    EXPECT_FALSE(otherSeesFirst);
    release.Set();
    EXPECT_TRUE(thread.Stop(kLongMs));
}

TEST(PlatformThread, ExceptionInBodyEndsOnlyTheThread)
{
    CThread thread;
    ASSERT_TRUE(thread.Start([] { throw std::runtime_error("worker failed"); }));
    EXPECT_TRUE(thread.Stop(kLongMs));
    ASSERT_TRUE(thread.Start([] { throw 42; }));
    EXPECT_TRUE(thread.Stop(kLongMs));
}

TEST(PlatformThread, DestructorDetachesRunningThreadWithoutBlocking)
{
    auto release = std::make_shared<CEvent>();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<CEvent> watch = release;
    {
        CThread thread;
        ASSERT_TRUE(thread.Start([release, ended] {
            release->Wait(kLongMs);
            *ended = true;
        }));
    }
    EXPECT_FALSE(*ended);  // the destructor did not wait for the body
    release->Set();
    release.reset();
    EXPECT_TRUE(Eventually([&] { return watch.expired(); }));
    EXPECT_TRUE(*ended);
}

TEST(PlatformThread, StopRaceFromOwnerAndWorker)
{
    // The worker stops its own handle while the owner stops it too; either
    // may win, neither blocks past its bound and the handle ends empty.
    for (int round = 0; round < 50; ++round) {
        CThread thread;
        CEvent go;
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::weak_ptr<std::atomic<bool>> watch = done;
        ASSERT_TRUE(thread.Start([&thread, &go, done] {
            go.Wait(kLongMs);
            thread.Stop(kLongMs);
            *done = true;
        }));
        go.Set();
        thread.Stop(kLongMs);
        done.reset();
        EXPECT_FALSE(thread.Started());
        ASSERT_TRUE(Eventually([&] { return watch.expired(); }));
    }
}

TEST(PlatformThreadId, DiffersPerThreadAndMainIsProcessId)
{
    const uint32_t self = CurrentThreadId();
    EXPECT_NE(self, 0u);
    EXPECT_EQ(self, CurrentThreadId());
    EXPECT_EQ(self, static_cast<uint32_t>(getpid()));  // tests run on the main thread

    std::atomic<uint32_t> other{0};
    std::thread t([&] { other = CurrentThreadId(); });
    t.join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, self);
}

TEST(PlatformClock, SleepDoesNotReturnEarlyAndClockIsMonotonic)
{
    uint64_t before = NowMs();
    SleepMs(25);
    uint64_t after = NowMs();
    EXPECT_GE(after - before, 25u);
    SleepMs(0);
    EXPECT_GE(NowMs(), after);
}

}  // namespace
}  // namespace kn::platform
