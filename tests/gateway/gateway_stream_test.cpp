// A channel's stream and its readers: each unit is made once and shared;
// a reader that never reads is bounded and costs the others nothing;
// readers come and go while the channel opens and closes. And the access
// decision every front asks.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/h264_units.h"
#include "tools/programs/gateway/stream/channel_hub.h"
#include "tools/programs/gateway/stream/stream_unit.h"

namespace kn::gateway {
namespace {

using namespace kn::test::h264;

// A reader with a queue of its own, bounded to a number of units, that
// keeps the stream's units themselves. A reader that never reads keeps
// what it took and refuses the rest.
class CQueueReader final : public IClientSink {
public:
    explicit CQueueReader(size_t bound = 1u << 20) : m_nBound(bound) {}
    int64_t RunningTimeNs() override { return 0; }
    bool Push(const uint8_t *, size_t, int64_t) override
    {
        ADD_FAILURE() << "a unit was copied for a reader that keeps the shared one";
        return false;
    }
    bool PushShared(const SharedUnit &unit, int64_t) override
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        ++offered;
        if (units.size() >= m_nBound) {
            return false;
        }
        units.push_back(unit);
        return true;
    }
    void End() override { ++ended; }
    std::string Peer() const override { return "queue"; }

    std::mutex m_Mutex;
    std::vector<SharedUnit> units;
    size_t offered = 0;
    std::atomic<int> ended{0};

private:
    const size_t m_nBound;
};

void Feed(CChannelHub &hub, const Bytes &unit)
{
    const Bytes d = Delivered(unit);
    hub.OnFrame(2, d.data(), static_cast<int32_t>(d.size()));
}

TEST(GatewayStream, AReaderThatNeverReadsIsBoundedAndTheOthersLoseNothing)
{
    CChannelHub hub(0, "", 1u << 16);
    const Bytes key = Cat({kAud, kSps, kPps, kIdr});
    const Bytes pic = Cat({kAud, kSlice});
    auto fast = std::make_shared<CQueueReader>();
    auto other = std::make_shared<CQueueReader>();
    auto stuck = std::make_shared<CQueueReader>(7);
    hub.Add(fast, true);
    hub.Add(stuck, true);
    hub.Add(other, true);
    constexpr int kGroups = 40, kGroup = 10;
    for (int g = 0; g < kGroups; ++g) {
        Feed(hub, key);
        for (int i = 1; i < kGroup; ++i) {
            Feed(hub, pic);
        }
    }
    // The readers beside the stuck one have every unit, in order, and the
    // very same units: each was made once and shared.
    ASSERT_EQ(static_cast<size_t>(kGroups * kGroup), fast->units.size());
    ASSERT_EQ(fast->units.size(), other->units.size());
    for (size_t i = 0; i < fast->units.size(); ++i) {
        EXPECT_EQ(fast->units[i].get(), other->units[i].get());
        EXPECT_EQ(i % kGroup == 0, fast->units[i]->keyframe);
        EXPECT_EQ(i % kGroup == 0 ? key : pic, fast->units[i]->bytes);
    }
    // The stuck one holds its bound; it was offered a unit again only at
    // each keyframe (it had lost its place), not every frame.
    EXPECT_EQ(7u, stuck->units.size());
    EXPECT_LE(stuck->offered, 7u + kGroups + 1);
    EXPECT_EQ(0, stuck->ended.load());
    EXPECT_EQ(3, hub.Counts().clients);
}

TEST(GatewayStream, ReadersComeAndGoWhileTheChannelOpensAndCloses)
{
    CChannelHub hub(2, "site");
    const Bytes key = Cat({kAud, kSps, kPps, kIdr});
    const Bytes pic = Cat({kAud, kSlice});
    std::atomic<bool> stop{false};
    std::thread channel([&] {
        // Streams of a few groups, each closed (its group forgotten) and
        // opened again.
        for (int i = 0; !stop; ++i) {
            Feed(hub, i % 4 == 0 ? key : pic);
            if (i % 23 == 22) {
                hub.StreamEnded();
            }
        }
    });
    std::vector<std::thread> readers;
    std::atomic<int> started{0};
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto r = std::make_shared<CQueueReader>(t == 2 ? 3 : 1u << 20);
                hub.Add(r, t != 1);
                if (t == 1) {
                    hub.StartNow(r.get());
                }
                std::this_thread::yield();
                int left = 0;
                EXPECT_TRUE(hub.Remove(r.get(), left));
                std::lock_guard<std::mutex> lk(r->m_Mutex);
                if (!r->units.empty()) {
                    ++started;
                    // Whenever it joined, a reader starts on a keyframe with
                    // its parameter sets.
                    EXPECT_TRUE(r->units.front()->keyframe);
                    EXPECT_EQ(key, r->units.front()->bytes);
                }
            }
        });
    }
    for (std::thread &t : readers) {
        t.join();
    }
    stop = true;
    channel.join();
    EXPECT_EQ(0, hub.Counts().clients);
    EXPECT_EQ(0, hub.Counts().waiting);
}

TEST(GatewayStream, AReaderStartsFromTheCachedGroupOrTheNextKeyframeAsItAsks)
{
    CChannelHub hub(0);
    const Bytes key = Cat({kAud, kSps, kPps, kIdr});
    const Bytes pic = Cat({kAud, kSlice});
    Feed(hub, key);
    Feed(hub, pic);
    Feed(hub, pic);
    for (const bool startNow : {true, false}) {
        auto cached = std::make_shared<CQueueReader>();
        auto next = std::make_shared<CQueueReader>();
        hub.Add(cached, startNow, StartPolicy::CachedGroup);
        hub.Add(next, startNow, StartPolicy::NextKeyframe);
        Feed(hub, pic);
        EXPECT_EQ(4u, cached->units.size()) << "the group of three, then the live frame";
        EXPECT_TRUE(cached->units.front()->keyframe);
        EXPECT_TRUE(next->units.empty()) << "nothing before the next keyframe";
        Feed(hub, key);
        ASSERT_EQ(1u, next->units.size());
        EXPECT_EQ(next->units.front().get(), cached->units.back().get());
        int left = 0;
        hub.Remove(cached.get(), left);
        hub.Remove(next.get(), left);
        Feed(hub, pic);
        Feed(hub, pic);
    }
}

TEST(GatewayStream, TheUnitPoolHandsOutOnlyUnitsNobodyHolds)
{
    CUnitPool pool;
    std::vector<SharedUnit> held;
    for (int i = 0; i < 5; ++i) {
        auto u = pool.Take();
        u->bytes.assign(100, static_cast<uint8_t>(i));
        held.push_back(u);
    }
    EXPECT_EQ(5u, pool.Size());
    held.erase(held.begin() + 1);  // unit 1 is let go
    auto again = pool.Take();
    EXPECT_TRUE(again->bytes.empty());
    EXPECT_GE(again->bytes.capacity(), 100u);  // its room is kept
    for (const SharedUnit &h : held) {
        EXPECT_NE(h.get(), again.get());
    }
    EXPECT_EQ(5u, pool.Size());
    // A stream's end lets the room go; what a reader holds stays its own.
    pool.Release();
    EXPECT_EQ(0u, pool.Size());
    EXPECT_EQ(100u, held.front()->bytes.size());
    EXPECT_TRUE(pool.Take()->bytes.empty());
    EXPECT_EQ(1u, pool.Size()) << "grown again from nothing";
}

}  // namespace
}  // namespace kn::gateway
