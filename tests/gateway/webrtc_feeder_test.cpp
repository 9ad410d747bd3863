// The threads that feed WebRTC sessions: each session's units in order and
// never two at once, a bounded queue that refuses rather than grows, a
// session held up in its pipeline that holds up no other, and a closed
// queue that hands nothing on and lets its units go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/programs/gateway/webrtc/session_feeder.h"

namespace kn::gateway {
namespace {

using namespace std::chrono_literals;

SharedUnit Unit(size_t bytes)
{
    auto unit = std::make_shared<StreamUnit>();
    unit->bytes.resize(bytes);
    return unit;
}

// A gate a delivery waits at until it is opened (at most 5 s).
struct Gate {
    void Open()
    {
        std::lock_guard<std::mutex> lk(mutex);
        open = true;
        cv.notify_all();
    }
    void Pass()
    {
        std::unique_lock<std::mutex> lk(mutex);
        ++waiting;
        cv.notify_all();
        cv.wait_for(lk, 5s, [this] { return open; });
    }
    bool Reached(int n)
    {
        std::unique_lock<std::mutex> lk(mutex);
        return cv.wait_for(lk, 5s, [&] { return waiting >= n; });
    }
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int waiting = 0;
};

// Waits at most 5 s for pred.
template <typename Pred>
bool Eventually(Pred pred)
{
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(SessionFeeder, EachSessionGetsItsUnitsInOrderOneAtATimeWhoeverPutsThem)
{
    constexpr int kSessions = 16;
    constexpr int kUnits = 400;
    CSessionFeeder feeder(3);
    struct Seen {
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::vector<int64_t> order;
    };
    std::vector<Seen> seen(kSessions);
    std::vector<std::shared_ptr<CSessionFeeder::CQueue>> queues;
    for (int s = 0; s < kSessions; ++s) {
        queues.push_back(feeder.Open(kUnits, 1u << 30, [&seen, s](const SharedUnit &, int64_t pts) {
            Seen &me = seen[s];
            if (me.inside.fetch_add(1) != 0) {
                ++me.overlaps;
            }
            me.order.push_back(pts);
            me.inside.fetch_sub(1);
        }));
    }
    EXPECT_EQ(feeder.Threads(), 3u);
    // Two delivery threads take turns putting into every queue, as a
    // channel's thread and a joining reader's would.
    std::mutex turn;
    int64_t next = 0;
    auto put = [&] {
        for (;;) {
            std::lock_guard<std::mutex> lk(turn);
            if (next == kUnits) {
                return;
            }
            for (auto &q : queues) {
                ASSERT_TRUE(q->Put(Unit(100), next));
            }
            ++next;
        }
    };
    std::thread a(put), b(put);
    a.join();
    b.join();
    ASSERT_TRUE(Eventually([&] {
        for (auto &q : queues) {
            if (q->Waiting() > 0 || !q->WaitIdle(0ms)) {
                return false;
            }
        }
        return true;
    }));
    for (int s = 0; s < kSessions; ++s) {
        ASSERT_EQ(seen[s].order.size(), size_t(kUnits)) << "session " << s;
        EXPECT_EQ(seen[s].overlaps.load(), 0) << "session " << s;
        for (int i = 0; i < kUnits; ++i) {
            ASSERT_EQ(seen[s].order[i], i) << "session " << s;
        }
    }
}

TEST(SessionFeeder, ASessionHeldUpFillsItsOwnBoundAndHoldsUpNoOther)
{
    CSessionFeeder feeder(2);
    Gate gate;
    std::atomic<int> slowGot{0}, fastGot{0};
    auto slow = feeder.Open(4, 1000, [&](const SharedUnit &, int64_t) {
        gate.Pass();
        ++slowGot;
    });
    auto fast = feeder.Open(4, 1000, [&](const SharedUnit &, int64_t) { ++fastGot; });
    ASSERT_TRUE(slow->Put(Unit(10), 0));
    ASSERT_TRUE(gate.Reached(1));  // its first unit is in its pipeline
    // The bound in units, then the bound in bytes; a unit larger than the
    // whole bound still goes into an empty queue.
    struct Case {
        size_t units, bytes;
        std::vector<size_t> sizes;
        std::vector<bool> taken;
    };
    const Case cases[] = {
        {4, 1000, {10, 10, 10, 10, 10}, {true, true, true, true, false}},
        {8, 100, {60, 40, 1}, {true, true, false}},
        {8, 100, {500, 1}, {true, false}},
    };
    for (const Case &c : cases) {
        Gate held;
        auto q = feeder.Open(c.units, c.bytes, [&](const SharedUnit &, int64_t) { held.Pass(); });
        ASSERT_TRUE(q->Put(Unit(1), 0));
        ASSERT_TRUE(held.Reached(1));
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            EXPECT_EQ(q->Put(Unit(c.sizes[i]), 1 + int64_t(i)), c.taken[i]) << "unit " << i;
        }
        q->Close();
        held.Open();
        ASSERT_TRUE(q->WaitIdle(5s));
    }
    // Meanwhile the other session is fed as fast as it is given units.
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(fast->Put(Unit(10), i));
        ASSERT_TRUE(Eventually([&] { return fastGot.load() == i + 1; }));
    }
    EXPECT_EQ(slowGot.load(), 0);
    gate.Open();
    EXPECT_TRUE(Eventually([&] { return slowGot.load() == 1; }));
}

TEST(SessionFeeder, AClosedQueueHandsNothingOnAndLetsItsUnitsGo)
{
    CSessionFeeder feeder(1);
    Gate gate;
    std::atomic<int> got{0};
    auto q = feeder.Open(8, 1u << 20, [&](const SharedUnit &, int64_t) {
        gate.Pass();
        ++got;
    });
    const SharedUnit first = Unit(10), waiting = Unit(10);
    ASSERT_TRUE(q->Put(first, 0));
    ASSERT_TRUE(gate.Reached(1));
    ASSERT_TRUE(q->Put(waiting, 1));
    EXPECT_EQ(waiting.use_count(), 2);
    q->Close();
    EXPECT_EQ(waiting.use_count(), 1);  // let go at once
    EXPECT_FALSE(q->Put(Unit(10), 2));
    // The unit being handed on is still in the pipeline.
    EXPECT_FALSE(q->WaitIdle(20ms));
    gate.Open();
    EXPECT_TRUE(q->WaitIdle(5s));
    EXPECT_TRUE(Eventually([&] { return first.use_count() == 1; }));
    EXPECT_EQ(got.load(), 1);
    // A queue that outlives its feeder refuses what it is given.
    auto late = std::make_unique<CSessionFeeder>(1);
    auto orphan = late->Open(8, 1000, [](const SharedUnit &, int64_t) {});
    late.reset();
    EXPECT_FALSE(orphan->Put(Unit(10), 0));
}

}  // namespace
}  // namespace kn::gateway
