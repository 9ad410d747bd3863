// Auto-reset events: one Set wakes one wait, either-wait precedence, time-outs
// and the descriptor that socket waits poll together with a socket.
#include "platform/event.h"
#include "platform/thread.h"
#include "tests/support/eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <poll.h>

namespace kn::platform {
namespace {

constexpr uint32_t kLongMs = test::kLongWaitMs;

using test::Eventually;

bool DescriptorReadable(const CEvent &event)
{
    pollfd fd{event.NativeHandle(), POLLIN, 0};
    return poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN) != 0;
}

TEST(PlatformEvent, CreatedClearAndAutoResets)
{
    CEvent event;
    ASSERT_TRUE(event.Valid());
    EXPECT_GE(event.NativeHandle(), 0);
    EXPECT_FALSE(event.TryTake());

    event.Set();
    event.Set();  // a second Set before the take changes nothing
    EXPECT_TRUE(event.TryTake());
    EXPECT_FALSE(event.TryTake());

    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(PlatformEvent, ResetClears)
{
    CEvent event;
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.TryTake());
    event.Reset();  // on a clear event too
    EXPECT_FALSE(event.TryTake());
}

TEST(PlatformEvent, WaitTimesOut)
{
    CEvent event;
    const uint64_t start = NowMs();
    EXPECT_FALSE(event.Wait(40));
    EXPECT_GE(NowMs() - start, 40u);
}

TEST(PlatformEvent, DescriptorShowsStateWithoutClearingIt)
{
    CEvent event;
    EXPECT_FALSE(DescriptorReadable(event));
    event.Set();
    EXPECT_TRUE(DescriptorReadable(event));
    EXPECT_TRUE(DescriptorReadable(event));
    EXPECT_TRUE(event.TryTake());
    EXPECT_FALSE(DescriptorReadable(event));
}

TEST(PlatformEvent, WaitEitherFirstWinsAndSecondStaysSet)
{
    CEvent first;
    CEvent second;
    first.Set();
    second.Set();
    EXPECT_EQ(WaitEither(first, second, kLongMs), 0);
    EXPECT_FALSE(first.TryTake());
    EXPECT_EQ(WaitEither(first, second, kLongMs), 1);
    EXPECT_FALSE(second.TryTake());
    EXPECT_FALSE(first.TryTake());
}

TEST(PlatformEvent, WaitEitherReportsWhichAndTimesOut)
{
    CEvent first;
    CEvent second;
    second.Set();
    EXPECT_EQ(WaitEither(first, second, 0), 1);
    first.Set();
    EXPECT_EQ(WaitEither(first, second, 0), 0);

    const uint64_t start = NowMs();
    EXPECT_EQ(WaitEither(first, second, 40), -1);
    EXPECT_GE(NowMs() - start, 40u);
}

TEST(PlatformEventThread, SetFromAnotherThreadWakesWaiter)
{
    CEvent event;
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.Wait(kLongMs));
    setter.join();
    EXPECT_FALSE(event.TryTake());
}

TEST(PlatformEventThread, WaitEitherWokenFromAnotherThread)
{
    CEvent first;
    CEvent second;
    std::thread setter([&] { second.Set(); });
    EXPECT_EQ(WaitEither(first, second, kLongMs), 1);
    setter.join();
    EXPECT_FALSE(second.TryTake());
    EXPECT_FALSE(first.TryTake());
}

TEST(PlatformEventThread, OneSetWakesOneWaiter)
{
    CEvent event;
    std::atomic<int> woken{0};
    std::atomic<int> waiting{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            ++waiting;
            if (event.Wait(kLongMs)) {
                ++woken;
            }
        });
    }
    ASSERT_TRUE(Eventually([&] { return waiting == 3; }));
    event.Set();
    ASSERT_TRUE(Eventually([&] { return woken == 1; }));
    // A wrongly shared wake would show up well within this window.
    SleepMs(100);
    EXPECT_EQ(woken, 1);
    EXPECT_FALSE(event.TryTake());  // the wake consumed the event

    event.Set();
    ASSERT_TRUE(Eventually([&] { return woken == 2; }));
    event.Set();
    for (auto &t : waiters) {
        t.join();
    }
    EXPECT_EQ(woken, 3);
}

// Two threads hand a turn back and forth; a lost wake stalls the game and
// fails the bounded waits.
TEST(PlatformEventThread, PingPongRace)
{
    constexpr int kRounds = 2000;
    CEvent ping;
    CEvent pong;
    CEvent stop;
    std::atomic<int> answered{0};
    std::thread peer([&] {
        for (;;) {
            int which = WaitEither(stop, ping, kLongMs);
            if (which != 1) {
                return;
            }
            ++answered;
            pong.Set();
        }
    });
    int rounds = 0;
    for (; rounds < kRounds; ++rounds) {
        ping.Set();
        if (!pong.Wait(kLongMs)) {
            break;
        }
    }
    stop.Set();
    peer.join();
    EXPECT_EQ(rounds, kRounds);
    EXPECT_EQ(answered, kRounds);
}

// Many setters, one taker: every burst of Sets is seen by at least one take,
// and an event left set is cleared by a single take.
TEST(PlatformEventThread, ManySettersRace)
{
    CEvent event;
    std::atomic<bool> run{true};
    std::atomic<int> sets{0};
    std::vector<std::thread> setters;
    for (int i = 0; i < 4; ++i) {
        setters.emplace_back([&] {
            while (run) {
                event.Set();
                ++sets;
                std::this_thread::yield();
            }
        });
    }
    int takes = 0;
    for (int i = 0; i < 500; ++i) {
        if (event.Wait(kLongMs)) {
            ++takes;
        }
    }
    run = false;
    for (auto &t : setters) {
        t.join();
    }
    EXPECT_EQ(takes, 500);
    EXPECT_GE(sets, takes);
    event.TryTake();
    EXPECT_FALSE(event.TryTake());
}

}  // namespace
}  // namespace kn::platform
