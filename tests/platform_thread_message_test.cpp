// Thread message queues: delivery to the right thread in order, the per-queue
// bound, refusal of ids that are not threads of this process, the bounded
// number of queues, and posters racing a taker.
#include "platform/event.h"
#include "platform/thread.h"
#include "tests/support/eventually.h"
#include "platform/thread_message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

namespace kn::platform {
namespace {

constexpr uint32_t kLongMs = test::kLongWaitMs;
constexpr uint32_t kNotice = 0x1200;

using test::Eventually;

void *Tag(uintptr_t n) { return reinterpret_cast<void *>(n); }

class PlatformThreadMessage : public ::testing::Test {
protected:
    // The registry is process-wide: start every case with this thread's queue
    // empty, whatever ran before in the same process.
    void SetUp() override
    {
        ThreadMessage dropped{};
        while (GetThreadMessage(dropped, 0)) {
        }
    }
};

TEST_F(PlatformThreadMessage, PostFromAnotherThreadThenGet)
{
    const uint32_t self = CurrentThreadId();
    int marker = 0;
    std::atomic<bool> posted{false};
    std::thread poster([&] { posted = PostThreadMessage(self, kNotice, &marker, 0x12345678u); });
    poster.join();
    ASSERT_TRUE(posted);

    ThreadMessage msg{};
    ASSERT_TRUE(GetThreadMessage(msg, kLongMs));
    EXPECT_EQ(msg.message, kNotice);
    EXPECT_EQ(msg.param1, &marker);
    EXPECT_EQ(msg.param2, 0x12345678u);
    EXPECT_FALSE(GetThreadMessage(msg, 0));
}

TEST_F(PlatformThreadMessage, OrderKept)
{
    const uint32_t self = CurrentThreadId();
    for (uint32_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(PostThreadMessage(self, kNotice + i, Tag(i + 1), i));
    }
    for (uint32_t i = 0; i < 20; ++i) {
        ThreadMessage msg{};
        ASSERT_TRUE(GetThreadMessage(msg, 0));
        EXPECT_EQ(msg.message, kNotice + i);
        EXPECT_EQ(msg.param1, Tag(i + 1));
        EXPECT_EQ(msg.param2, i);
    }
}

TEST_F(PlatformThreadMessage, QueueBoundDropsFurtherPosts)
{
    const uint32_t self = CurrentThreadId();
    constexpr unsigned kExtra = 10;
    unsigned accepted = 0;
    std::thread poster([&] {
        for (unsigned i = 0; i < kQueueLimit + kExtra; ++i) {
            if (PostThreadMessage(self, kNotice, nullptr, i)) {
                ++accepted;
            }
        }
    });
    poster.join();
    EXPECT_EQ(accepted, kQueueLimit);

    unsigned taken = 0;
    ThreadMessage msg{};
    while (GetThreadMessage(msg, 0)) {
        EXPECT_EQ(msg.param2, taken);  // the first kQueueLimit posts were kept
        ++taken;
    }
    EXPECT_EQ(taken, kQueueLimit);

    // Room again once taken.
    EXPECT_TRUE(PostThreadMessage(self, kNotice, nullptr, 1));
    EXPECT_TRUE(GetThreadMessage(msg, 0));
}

// A notice repeated while a condition lasts (a silent recorder's, every
// 200 ms) must not fill the queue: the repeats of a notice still waiting
// take no place of their own, so the notices of others still get in.
TEST_F(PlatformThreadMessage, RepeatsOfAWaitingNoticeNeverCrowdOutOthers)
{
    const uint32_t self = CurrentThreadId();
    std::thread poster([&] {
        for (unsigned i = 0; i < 2 * kQueueLimit; ++i) {
            EXPECT_TRUE(PostThreadMessage(self, kNotice, Tag(1), 0x0100007Fu));
        }
        EXPECT_TRUE(PostThreadMessage(self, kNotice, Tag(2), 0x0100007Fu));  // another session
        EXPECT_TRUE(PostThreadMessage(self, kNotice, Tag(1), 0x0200007Fu));  // another address
    });
    poster.join();

    std::vector<ThreadMessage> got;
    ThreadMessage msg{};
    while (GetThreadMessage(msg, 0)) {
        got.push_back(msg);
    }
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].param1, Tag(1));
    EXPECT_EQ(got[1].param1, Tag(2));
    EXPECT_EQ(got[2].param2, 0x0200007Fu);
    // Once taken, the notice is queued again by its next repeat.
    EXPECT_TRUE(PostThreadMessage(self, kNotice, Tag(1), 0x0100007Fu));
    EXPECT_TRUE(PostThreadMessage(self, kNotice, Tag(1), 0x0100007Fu));
    EXPECT_TRUE(GetThreadMessage(msg, 0));
    EXPECT_FALSE(GetThreadMessage(msg, 0));
}

TEST_F(PlatformThreadMessage, RefusesIdsThatAreNotOurThreads)
{
    EXPECT_FALSE(PostThreadMessage(0, kNotice, nullptr, 0));
    EXPECT_FALSE(PostThreadMessage(static_cast<uint32_t>(getppid()), kNotice, nullptr, 0));
    EXPECT_FALSE(PostThreadMessage(0x80000000u, kNotice, nullptr, 0));
    EXPECT_FALSE(PostThreadMessage(0xFFFFFFFFu, kNotice, nullptr, 0));
}

TEST_F(PlatformThreadMessage, RefusesThreadThatEnded)
{
    std::atomic<uint32_t> tid{0};
    std::thread t([&] { tid = CurrentThreadId(); });
    t.join();
    ASSERT_NE(tid, 0u);
    // The kernel lets go of an ended thread shortly after the join returns.
    EXPECT_TRUE(Eventually([&] { return !PostThreadMessage(tid, kNotice, nullptr, 0); }));
}

TEST_F(PlatformThreadMessage, GetTimesOutWithNothingPosted)
{
    ThreadMessage msg{};
    EXPECT_FALSE(GetThreadMessage(msg, 0));
    const uint64_t start = NowMs();
    EXPECT_FALSE(GetThreadMessage(msg, 40));
    EXPECT_GE(NowMs() - start, 40u);
}

TEST_F(PlatformThreadMessage, WaitingGetWokenByPost)
{
    const uint32_t self = CurrentThreadId();
    std::thread poster([&] { PostThreadMessage(self, kNotice, nullptr, 77); });
    ThreadMessage msg{};
    EXPECT_TRUE(GetThreadMessage(msg, kLongMs));
    EXPECT_EQ(msg.param2, 77u);
    poster.join();
}

TEST_F(PlatformThreadMessage, MessagesGoOnlyToTheirThread)
{
    std::atomic<uint32_t> otherTid{0};
    std::atomic<uint32_t> otherGot{0};
    std::atomic<bool> otherTimedOut{false};
    CEvent release;
    std::thread other([&] {
        otherTid = CurrentThreadId();
        ThreadMessage msg{};
        if (GetThreadMessage(msg, kLongMs)) {
            otherGot = msg.param2;
        }
        otherTimedOut = !GetThreadMessage(msg, 0);
        release.Wait(kLongMs);
    });
    ASSERT_TRUE(Eventually([&] { return otherTid != 0; }));
    ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), kNotice, nullptr, 1));
    ASSERT_TRUE(PostThreadMessage(otherTid, kNotice, nullptr, 2));
    ASSERT_TRUE(Eventually([&] { return otherGot != 0; }));
    release.Set();
    other.join();
    EXPECT_EQ(otherGot, 2u);
    EXPECT_TRUE(otherTimedOut);

    ThreadMessage msg{};
    ASSERT_TRUE(GetThreadMessage(msg, 0));
    EXPECT_EQ(msg.param2, 1u);
    EXPECT_FALSE(GetThreadMessage(msg, 0));
}

// More threads than queues: idle queues are reused, a queue with a waiter is
// never taken from under it, and posting keeps working.
TEST_F(PlatformThreadMessage, ThreadFloodReusesIdleQueuesButNotWaitingOnes)
{
    std::atomic<uint32_t> waiterTid{0};
    std::atomic<uint32_t> waiterGot{0};
    std::thread waiter([&] {
        waiterTid = CurrentThreadId();
        ThreadMessage msg{};
        if (GetThreadMessage(msg, kLongMs)) {
            waiterGot = msg.param2;
        }
    });
    ASSERT_TRUE(Eventually([&] { return waiterTid != 0; }));

    std::atomic<unsigned> selfPosts{0};
    for (unsigned i = 0; i < kMaxQueues + 16; ++i) {
        // Each thread makes a queue of its own and leaves it behind.
        std::thread t([&] {
            if (PostThreadMessage(CurrentThreadId(), kNotice, nullptr, 5)) {
                ++selfPosts;
            }
        });
        t.join();
    }
    EXPECT_EQ(selfPosts, kMaxQueues + 16);

    // The waiter's queue made by its Get may not exist yet when the flood
    // begins; either way the post must reach the waiting thread.
    ASSERT_TRUE(PostThreadMessage(waiterTid, kNotice, nullptr, 99));
    waiter.join();
    EXPECT_EQ(waiterGot, 99u);

    EXPECT_TRUE(PostThreadMessage(CurrentThreadId(), kNotice, nullptr, 3));
    ThreadMessage msg{};
    EXPECT_TRUE(GetThreadMessage(msg, 0));
    EXPECT_EQ(msg.param2, 3u);
}

// Several threads post to one taker at once, retrying while the queue is
// full; every message arrives exactly once, in each poster's order.
TEST_F(PlatformThreadMessage, ConcurrentPostersRace)
{
    constexpr unsigned kPosters = 6;
    constexpr unsigned kEach = 300;
    const uint32_t self = CurrentThreadId();
    std::atomic<bool> failed{false};
    std::vector<std::thread> posters;
    for (unsigned p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            const uint64_t deadline = NowMs() + kLongMs;
            for (unsigned i = 0; i < kEach; ++i) {
                while (!PostThreadMessage(self, kNotice, Tag(p), i)) {
                    if (NowMs() >= deadline) {
                        failed = true;
                        return;
                    }
                    std::this_thread::yield();
                }
            }
        });
    }

    std::vector<unsigned> next(kPosters, 0);
    unsigned received = 0;
    bool ordered = true;
    ThreadMessage msg{};
    while (received < kPosters * kEach && GetThreadMessage(msg, kLongMs)) {
        auto p = reinterpret_cast<uintptr_t>(msg.param1);
        ASSERT_LT(p, kPosters);
        ordered = ordered && msg.param2 == next[p];
        next[p] = msg.param2 + 1;
        ++received;
    }
    for (auto &t : posters) {
        t.join();
    }
    EXPECT_FALSE(failed);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(received, kPosters * kEach);
    EXPECT_FALSE(GetThreadMessage(msg, 0));
}

}  // namespace
}  // namespace kn::platform
