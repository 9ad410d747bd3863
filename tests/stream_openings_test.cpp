// Real-time openings from several host threads at once against a recorder
// that is slow to acknowledge: each channel ends up on a stream of its own,
// openings of one channel run one after the other and share the stream, and
// a lost stream is reused in its place.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "tests/support/eventually.h"
#include "tests/support/frame_sink.h"
#include "tests/support/recorder_fixture.h"

using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::test::kWait;
using kn::test::Sink;
using kn::test::SinkCallback;

namespace {

constexpr auto kAckDelay = std::chrono::milliseconds(300);
constexpr uint8_t kOpenLive = 57;
constexpr uint8_t kStopLive = 61;

class StreamOpenings : public kn::test::LoggedInTest {
protected:
    void BeforeLogin() override { kn::test::ClearSinks(); }

    // The emulator's live connection that a channel's last opening made.
    int LastConnectionOf(int32_t channel) const
    {
        int last = -1;
        for (const auto &info : m_Emu.Connections()) {
            const auto packets = m_Emu.Packets(info.index);
            if (info.kind == ChannelKind::Live && !packets.empty() && packets[0].payload.size() == 2 &&
                packets[0].payload[0] == channel) {
                last = std::max(last, info.index);
            }
        }
        return last;
    }
};

TEST_F(StreamOpenings, ConcurrentOpeningsGetAStreamPerChannelAndTakeTurnsOnOne)
{
    ASSERT_EQ(1, KR_4100_SetConnectTime(10000));
    // Channel 7 has a stream already, whose connection is lost.
    void *lost = KR_4100_RealPlay(m_hSession, 7, 1, SinkCallback, 8);
    ASSERT_NE(nullptr, lost);
    ASSERT_TRUE(m_Emu.CloseConnection(m_Emu.FindConnection(ChannelKind::Live)));
    ASSERT_TRUE(kn::test::Eventually([] { return Sink(8).Lost() == 1; }));

    m_Emu.SetMediaReplyDelay(kAckDelay);
    const size_t earlier = m_Emu.PacketsWithCode(ChannelKind::Live, kOpenLive).size();
    // Channel and transport of each host thread; all threads of one channel
    // pass the same user value, which picks the channel's sink.
    const std::vector<std::pair<int32_t, int32_t>> openings = {{0, 1}, {3, 1}, {0, 1}, {5, 0},
                                                               {7, 1}, {3, 0}, {0, 0}, {7, 1}};
    std::vector<void *> handles(openings.size(), nullptr);
    std::atomic<bool> go{false};
    std::vector<std::thread> hosts;
    for (size_t i = 0; i < openings.size(); ++i) {
        hosts.emplace_back([&, i] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            const auto [channel, transport] = openings[i];
            handles[i] =
                KR_4100_RealPlay(m_hSession, channel, transport, SinkCallback, static_cast<uint32_t>(channel + 1));
        });
    }
    go = true;
    for (auto &t : hosts) {
        t.join();
    }

    std::map<int32_t, void *> byChannel;
    for (size_t i = 0; i < openings.size(); ++i) {
        const int32_t channel = openings[i].first;
        ASSERT_NE(nullptr, handles[i]) << "opening " << i << " of channel " << channel;
        const auto [it, first] = byChannel.emplace(channel, handles[i]);
        EXPECT_EQ(it->second, handles[i]) << "channel " << channel << " is on two streams";
    }
    EXPECT_EQ(lost, byChannel[7]) << "the lost stream keeps its place and is reused";
    std::vector<void *> distinct;
    for (const auto &[channel, handle] : byChannel) {
        distinct.push_back(handle);
    }
    std::sort(distinct.begin(), distinct.end());
    EXPECT_EQ(distinct.end(), std::adjacent_find(distinct.begin(), distinct.end())) << "two channels on one stream";

    // One channel's openings ran one after the other: each request went out
    // only after the reply to the one before, which the recorder held back
    // (less a little: the recorder stamps a request after reading it).
    std::map<int32_t, std::vector<kn::emu::Clock::time_point>> requests;
    const auto sent = m_Emu.PacketsWithCode(ChannelKind::Live, kOpenLive);
    ASSERT_EQ(earlier + openings.size(), sent.size());
    for (size_t i = earlier; i < sent.size(); ++i) {
        requests[sent[i].payload.at(0)].push_back(sent[i].at);
    }
    for (const auto &[channel, times] : requests) {
        for (size_t i = 1; i < times.size(); ++i) {
            EXPECT_GE(times[i] - times[i - 1], kAckDelay - std::chrono::milliseconds(50))
                << "channel " << channel << " opened twice at once";
        }
    }

    // Every stream delivers on its channel's last connection and stops once,
    // telling the recorder its own channel.
    for (const auto &[channel, handle] : byChannel) {
        SCOPED_TRACE(channel);
        const uint32_t user = static_cast<uint32_t>(channel + 1);
        const Bytes payload = kn::test::Pattern(30, static_cast<uint8_t>(channel));
        const int conn = LastConnectionOf(channel);
        ASSERT_GE(conn, 0);
        ASSERT_TRUE(kn::test::Eventually([&] {
            m_Emu.SendMedia(conn, kn::emu::BuildFrame(1, payload));
            kn::platform::SleepMs(20);
            return Sink(user).Count() > 0;
        }));
        const auto frame = Sink(user).MediaFrames().at(0);
        EXPECT_EQ(handle, frame.stream);
        EXPECT_EQ(user, frame.user);
        EXPECT_EQ(1, KR_4100_StopRealPlay(handle));
        EXPECT_EQ(0, KR_4100_StopRealPlay(handle));
    }
    ASSERT_TRUE(
        m_Emu.WaitFor([&] { return m_Emu.PacketsWithCode(ChannelKind::Command, kStopLive).size() >= 4; }, kWait));
    std::vector<uint8_t> stopped;
    for (const auto &p : m_Emu.PacketsWithCode(ChannelKind::Command, kStopLive)) {
        stopped.push_back(p.payload.at(0));
    }
    std::sort(stopped.begin(), stopped.end());
    EXPECT_EQ((std::vector<uint8_t>{0, 3, 5, 7}), stopped);
}

}  // namespace
