// Stream operations through the exports against the recorder emulator: the
// opening requests on the wire, reuse of a live channel, stop by kind, talk,
// playback control, talk audio and the keep-alive channel bitmap.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "tests/support/eventually.h"
#include "tests/support/frame_sink.h"
#include "tests/support/recorder_fixture.h"

using kn::emu::BuildPacket;
using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::emu::Id4;
using kn::test::kWait;
using kn::test::SinkCallback;

namespace {

constexpr Id4 kSessionId{0x0A, 0x0B, 0x0C, 0x0D};
constexpr uint8_t kKeepAlive = 56;
constexpr uint8_t kStopLive = 61;
constexpr uint8_t kControl = 76;
constexpr uint8_t kStopPlayBack = 79;

class StreamOps : public kn::test::LoggedInTest {
protected:
    void BeforeLogin() override { kn::test::ClearSinks(); }

    std::vector<kn::emu::RecordedPacket> CommandPackets(uint8_t code) const
    {
        return m_Emu.PacketsWithCode(ChannelKind::Command, code);
    }

    bool WaitCommand(uint8_t code, size_t count = 1)
    {
        return m_Emu.WaitFor([&] { return CommandPackets(code).size() >= count; }, kWait);
    }
};

DvrTime Time(int y, int mo, int d, int h, int mi, int s) { return DvrTime{y, mo, d, h, mi, s}; }

TEST_F(StreamOps, LiveOpeningCarriesChannelAndZeroOverTcpAndUdp)
{
    void *tcp = KR_4100_RealPlay(m_hSession, 5, 1, SinkCallback, 0);
    ASSERT_NE(nullptr, tcp);
    void *udp = KR_4100_RealPlay(m_hSession, 7, 0, SinkCallback, 1);
    ASSERT_NE(nullptr, udp);
    EXPECT_NE(tcp, udp);

    const auto opens = m_Emu.PacketsWithCode(ChannelKind::Live, 57);
    ASSERT_EQ(2u, opens.size());
    EXPECT_EQ(BuildPacket(kSessionId, 57, {5, 0}), opens[0].raw);
    EXPECT_EQ(BuildPacket(kSessionId, 57, {7, 0}), opens[1].raw);
    const int first = m_Emu.FindConnection(ChannelKind::Live, 0);
    const int second = m_Emu.FindConnection(ChannelKind::Live, 1);
    EXPECT_EQ(kn::emu::Transport::Tcp, m_Emu.Connection(first)->transport);
    EXPECT_EQ(kn::emu::Transport::Udp, m_Emu.Connection(second)->transport);
}

TEST_F(StreamOps, PlayBackOpeningEncodesStartTimeAndYearByte)
{
    const DvrTime start2009 = Time(2009, 11, 28, 13, 45, 59);
    ASSERT_NE(nullptr, KR_4100_PlayBack(m_hSession, 3, &start2009, SinkCallback, 0));
    const DvrTime start1999 = Time(1999, 1, 2, 3, 4, 5);
    ASSERT_NE(nullptr, KR_4100_PlayBack(m_hSession, 4, &start1999, SinkCallback, 0));

    const auto opens = m_Emu.PacketsWithCode(ChannelKind::Playback, 73);
    ASSERT_EQ(2u, opens.size());
    EXPECT_EQ(BuildPacket(kSessionId, 73, {9, 11, 28, 3, 13, 45, 59}), opens[0].raw);
    EXPECT_EQ(BuildPacket(kSessionId, 73, {255, 1, 2, 4, 3, 4, 5}), opens[1].raw);
}

TEST_F(StreamOps, DownLoadOpeningCarriesEndTimeOnlyAsHourMinuteSecond)
{
    const DvrTime start = Time(2009, 6, 7, 8, 9, 10);
    const DvrTime end = Time(2031, 12, 31, 21, 22, 23);
    // A download accepts a null callback; its frames are then dropped.
    void *stream = KR_4100_DownLoad(m_hSession, 2, &start, &end, nullptr, 0);
    ASSERT_NE(nullptr, stream);

    const auto opens = m_Emu.PacketsWithCode(ChannelKind::Download, 81);
    ASSERT_EQ(1u, opens.size());
    const Bytes &raw = opens[0].raw;
    ASSERT_EQ(11u + 170u, raw.size());
    EXPECT_EQ(0xAB, raw[8]);
    EXPECT_EQ(0x00, raw[9]);
    Bytes payload(170, 0);
    const Bytes head{9, 6, 7, 2, 8, 9, 10, 21, 22, 23};
    std::copy(head.begin(), head.end(), payload.begin());
    EXPECT_EQ(BuildPacket(kSessionId, 81, payload), raw);

    // Media on a callback-less download is taken and dropped harmlessly.
    const int conn = m_Emu.FindConnection(ChannelKind::Download);
    ASSERT_TRUE(m_Emu.SendMedia(conn, kn::emu::BuildFrame(2, Bytes(100, 1))));
    EXPECT_EQ(1, KR_4100_StopDownLoad(stream));
}

TEST_F(StreamOps, NullCallbackRefusesLiveAndPlayBackBeforeAnythingIsSent)
{
    const DvrTime start = Time(2020, 1, 1, 0, 0, 0);
    EXPECT_EQ(nullptr, KR_4100_RealPlay(m_hSession, 1, 1, nullptr, 0));
    EXPECT_EQ(nullptr, KR_4100_PlayBack(m_hSession, 1, &start, nullptr, 0));
    EXPECT_EQ(nullptr, KR_4100_PlayBack(m_hSession, 1, nullptr, SinkCallback, 0));
    EXPECT_EQ(nullptr, KR_4100_RealPlay(nullptr, 1, 1, SinkCallback, 0));
    EXPECT_EQ(nullptr, KR_4100_Talk(reinterpret_cast<void *>(0x1234)));
    // Only the command channel was ever opened.
    EXPECT_EQ(1u, m_Emu.Connections().size());
}

TEST_F(StreamOps, LiveOverUnknownTransportOnANewChannelTimesOut)
{
    ASSERT_EQ(1, KR_4100_SetConnectTime(kn::test::kShortReplyTimeoutMs));
    EXPECT_EQ(nullptr, KR_4100_RealPlay(m_hSession, 9, 2, SinkCallback, 0));
    EXPECT_EQ(1u, m_Emu.Connections().size());
    EXPECT_TRUE(m_Emu.PacketsWithCode(ChannelKind::Live, 57).empty());
}

TEST_F(StreamOps, SecondRealPlayOnAChannelReusesTheHandleWithANewConnection)
{
    void *first = KR_4100_RealPlay(m_hSession, 2, 1, SinkCallback, 1);
    ASSERT_NE(nullptr, first);
    void *second = KR_4100_RealPlay(m_hSession, 2, 1, SinkCallback, 2);
    EXPECT_EQ(first, second);

    const int oldConn = m_Emu.FindConnection(ChannelKind::Live, 0);
    const int newConn = m_Emu.FindConnection(ChannelKind::Live, 1);
    ASSERT_GE(newConn, 0);
    // The replaced connection is let go; frames on the new one reach the new
    // callback binding.
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(oldConn)->open; }, kWait));
    ASSERT_TRUE(m_Emu.SendMedia(newConn, kn::emu::BuildFrame(1, Bytes{1, 2, 3, 4, 5})));
    ASSERT_TRUE(kn::test::Eventually([] { return kn::test::Sink(2).Count() == 1; }));
    const auto frames = kn::test::Sink(2).Frames();
    EXPECT_EQ(first, frames[0].stream);
    EXPECT_EQ(2u, frames[0].user);
    EXPECT_EQ(0, kn::test::Sink(1).Count());

    EXPECT_EQ(1, KR_4100_StopRealPlay(first));
    EXPECT_EQ(0, KR_4100_StopRealPlay(first));
    ASSERT_TRUE(WaitCommand(kStopLive));
    EXPECT_EQ(1u, CommandPackets(kStopLive).size());
}

TEST_F(StreamOps, FailingSecondRealPlayDestroysTheLiveStream)
{
    void *first = KR_4100_RealPlay(m_hSession, 4, 1, SinkCallback, 0);
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(1, KR_4100_SetConnectTime(kn::test::kShortReplyTimeoutMs));
    m_Emu.SetMediaSilent(ChannelKind::Live, true);
    EXPECT_EQ(nullptr, KR_4100_RealPlay(m_hSession, 4, 1, SinkCallback, 0));
    EXPECT_EQ(0, KR_4100_StopRealPlay(first));
    const int conn2 = m_Emu.FindConnection(ChannelKind::Live, 1);
    ASSERT_GE(conn2, 0);
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(conn2)->open; }, kWait));
}

TEST_F(StreamOps, StopByAnyNameStopsByTheStreamsKind)
{
    m_Emu.SetStreamId({0xDE, 0xAD, 0xBE, 0xEF});
    const DvrTime start = Time(2020, 5, 6, 7, 8, 9);
    void *playback = KR_4100_PlayBack(m_hSession, 1, &start, SinkCallback, 0);
    ASSERT_NE(nullptr, playback);
    void *live = KR_4100_RealPlay(m_hSession, 6, 1, SinkCallback, 0);
    ASSERT_NE(nullptr, live);
    void *download = KR_4100_DownLoad(m_hSession, 1, &start, &start, SinkCallback, 0);
    ASSERT_NE(nullptr, download);
    void *talk = KR_4100_Talk(m_hSession);
    ASSERT_NE(nullptr, talk);

    EXPECT_EQ(1, KR_4100_StopRealPlay(playback));
    ASSERT_TRUE(WaitCommand(kStopPlayBack));
    EXPECT_EQ((Bytes{0xDE, 0xAD, 0xBE, 0xEF}), CommandPackets(kStopPlayBack)[0].payload);

    EXPECT_EQ(1, KR_4100_StopPlayBack(live));
    ASSERT_TRUE(WaitCommand(kStopLive));
    EXPECT_EQ((Bytes{6}), CommandPackets(kStopLive)[0].payload);

    EXPECT_EQ(1, KR_4100_StopDownLoad(download));
    EXPECT_EQ(1, KR_4100_StopRealPlay(talk));
    // Neither download nor talk tells the recorder anything; the command
    // channel is FIFO, so a probe sent now arrives after anything they sent.
    ASSERT_EQ(1, KR_4100_SetDvrParam(m_hSession, 33, nullptr, 0));
    EXPECT_EQ(1u, CommandPackets(kStopPlayBack).size());
    EXPECT_EQ(1u, CommandPackets(kStopLive).size());
    EXPECT_TRUE(m_Emu.PacketsWithCode(ChannelKind::StopTalk, 36).empty());
    // Stopping the talk stream by handle leaves no talk stream behind.
    EXPECT_EQ(1, KR_4100_StopTalk(m_hSession));
    EXPECT_EQ(-1, m_Emu.FindConnection(ChannelKind::StopTalk));

    for (void *h : {playback, live, download, talk}) {
        EXPECT_EQ(0, KR_4100_StopRealPlay(h));
        EXPECT_EQ(0, KR_4100_StopPlayBack(h));
        EXPECT_EQ(0, KR_4100_PlayBackCtrl(h, 0x4033));
        KR_4100_AudioSend(h, "x", 1);
    }
}

TEST_F(StreamOps, TalkIsAcceptedByPercentOrAnyOtherReplyAndRefusedByAmpersand)
{
    void *accepted = KR_4100_Talk(m_hSession);
    ASSERT_NE(nullptr, accepted);
    EXPECT_EQ(BuildPacket(kSessionId, 35), m_Emu.PacketsWithCode(ChannelKind::Talk, 35).at(0).raw);

    m_Emu.SetTalkAccepted(false);
    EXPECT_EQ(nullptr, KR_4100_Talk(m_hSession));
    // The refused talk replaced the accepted one, which is gone now.
    EXPECT_EQ(0, KR_4100_StopRealPlay(accepted));

    // Any other control reply: accepted, but release 1.0.0.1 takes only "%".
    m_Emu.SetMediaReplyCode(ChannelKind::Talk, 'S');
    void *other = KR_4100_Talk(m_hSession);
    if (kn::kRelease1001) {
        EXPECT_EQ(nullptr, other);
    } else {
        EXPECT_NE(nullptr, other);
    }
    EXPECT_TRUE(m_Emu.PacketsWithCode(ChannelKind::StopTalk, 36).empty());
}

TEST_F(StreamOps, TalkReplacesTheTalkStreamWithoutStopTalk)
{
    void *first = KR_4100_Talk(m_hSession);
    ASSERT_NE(nullptr, first);
    const int firstConn = m_Emu.FindConnection(ChannelKind::Talk, 0);
    void *second = KR_4100_Talk(m_hSession);
    ASSERT_NE(nullptr, second);
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(firstConn)->open; }, kWait));
    EXPECT_EQ(0, KR_4100_StopRealPlay(first));
    EXPECT_EQ(-1, m_Emu.FindConnection(ChannelKind::StopTalk));
}

TEST_F(StreamOps, StopTalkSendsStopOnAFreshConnectionAndDestroysTheStream)
{
    EXPECT_EQ(1, KR_4100_StopTalk(m_hSession));  // none open
    EXPECT_EQ(0, KR_4100_StopTalk(nullptr));
    void *talk = KR_4100_Talk(m_hSession);
    ASSERT_NE(nullptr, talk);
    const int talkConn = m_Emu.FindConnection(ChannelKind::Talk);

    EXPECT_EQ(1, KR_4100_StopTalk(m_hSession));
    const int stopConn = m_Emu.WaitForConnection(ChannelKind::StopTalk, kWait);
    ASSERT_GE(stopConn, 0);
    EXPECT_NE(talkConn, stopConn);
    const auto packets = m_Emu.Packets(stopConn);
    ASSERT_EQ(1u, packets.size());
    EXPECT_EQ(BuildPacket(kSessionId, 36), packets[0].raw);
    EXPECT_EQ(0, KR_4100_StopRealPlay(talk));
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(stopConn)->open; }, kWait));
    EXPECT_EQ(1, KR_4100_StopTalk(m_hSession));  // none left
}

TEST_F(StreamOps, AudioBytesArriveUnchanged)
{
    void *talk = KR_4100_Talk(m_hSession);
    ASSERT_NE(nullptr, talk);
    const int conn = m_Emu.FindConnection(ChannelKind::Talk);
    Bytes audio = kn::test::Pattern(3000, 0x40);
    audio[0] = 'S';  // audio that happens to look like a packet is still audio
    audio[1] = 'D';
    KR_4100_AudioSend(talk, audio.data(), 1000);
    KR_4100_AudioSend(talk, audio.data() + 1000, 2000);
    KR_4100_AudioSend(talk, nullptr, 10);
    KR_4100_AudioSend(talk, audio.data(), -1);
    KR_4100_AudioSend(talk, audio.data(), 0);
    ASSERT_TRUE(m_Emu.WaitFor([&] { return m_Emu.TalkAudio(conn).size() >= audio.size(); }, kWait));
    EXPECT_EQ(audio, m_Emu.TalkAudio(conn));
}

TEST_F(StreamOps, PlayBackControlMapsEveryCodeAndSendsTheStreamId)
{
    m_Emu.SetStreamId({0x01, 0x02, 0x03, 0x04});
    const DvrTime start = Time(2021, 2, 3, 4, 5, 6);
    void *playback = KR_4100_PlayBack(m_hSession, 1, &start, SinkCallback, 0);
    ASSERT_NE(nullptr, playback);

    struct Case {
        int32_t code;
        uint8_t operation;
        uint8_t level;
    };
    const Case cases[] = {
        {0x4033, 3, 3}, {0x4066, 2, 3}, {0x5033, 3, 2}, {0x5066, 2, 2}, {0x8033, 3, 1}, {0x8066, 2, 1}, {0xFF33, 3, 0},
        {0xFF66, 2, 0}, {0x2800, 0, 0}, {-1, 1, 0},     {-2, 4, 0},     {0x1234, 0, 0}, {0x33, 0, 0},   {0x4034, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(1, KR_4100_PlayBackCtrl(playback, c.code));
    }
    ASSERT_TRUE(WaitCommand(kControl, std::size(cases)));
    const auto sent = CommandPackets(kControl);
    ASSERT_EQ(std::size(cases), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(BuildPacket(kSessionId, kControl, {1, 2, 3, 4, 0, cases[i].operation, cases[i].level}), sent[i].raw)
            << "code " << cases[i].code;
    }

    const DvrTime end = Time(2021, 2, 3, 5, 0, 0);
    void *download = KR_4100_DownLoad(m_hSession, 1, &start, &end, SinkCallback, 0);
    ASSERT_NE(nullptr, download);
    void *live = KR_4100_RealPlay(m_hSession, 1, 1, SinkCallback, 0);
    ASSERT_NE(nullptr, live);
    EXPECT_EQ(0, KR_4100_PlayBackCtrl(download, 0x4033));
    EXPECT_EQ(0, KR_4100_PlayBackCtrl(live, 0x4033));
    EXPECT_EQ(0, KR_4100_PlayBackCtrl(nullptr, 0x4033));
    ASSERT_EQ(1, KR_4100_SetDvrParam(m_hSession, 33, nullptr, 0));
    EXPECT_EQ(std::size(cases), CommandPackets(kControl).size());
}

TEST_F(StreamOps, KeepAliveBitmapFollowsTheLiveStreams)
{
    void *live3 = KR_4100_RealPlay(m_hSession, 3, 1, SinkCallback, 0);
    void *live5 = KR_4100_RealPlay(m_hSession, 5, 0, SinkCallback, 0);
    ASSERT_NE(nullptr, live3);
    ASSERT_NE(nullptr, live5);
    const DvrTime start = Time(2021, 2, 3, 4, 5, 6);
    ASSERT_NE(nullptr, KR_4100_PlayBack(m_hSession, 1, &start, SinkCallback, 0));

    auto lastBitmapIs = [&](uint8_t lo, uint8_t hi) {
        const auto ka = CommandPackets(kKeepAlive);
        if (ka.empty()) {
            return false;
        }
        const Bytes &p = ka.back().payload;
        return p.size() == 14 && p[12] == lo && p[13] == hi &&
               std::all_of(p.begin(), p.begin() + 12, [](uint8_t b) { return b == 0; });
    };
    EXPECT_TRUE(m_Emu.WaitFor([&] { return lastBitmapIs(0x28, 0x00); }, kWait));
    EXPECT_EQ(1, KR_4100_StopRealPlay(live3));
    EXPECT_EQ(1, KR_4100_StopRealPlay(live5));
    EXPECT_TRUE(m_Emu.WaitFor([&] { return lastBitmapIs(0x00, 0x00); }, kWait));
}

}  // namespace

// ---------------------------------------------------------------- handles stay dead

namespace {

// Resident memory of this process, in bytes (0 where it cannot be read).
size_t ResidentBytes()
{
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) {
        return 0;
    }
    unsigned long size = 0;
    unsigned long resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return got == 2 ? resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMeasuresMemory = false;  // the sanitizers keep freed memory on purpose
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMeasuresMemory = false;
#  else
constexpr bool kMeasuresMemory = true;
#  endif
#else
constexpr bool kMeasuresMemory = true;
#endif

}  // namespace

// The host's habits that used to reach a newer object: a second logout or
// stop with an old handle, after the memory went to the next session or
// stream. Each cycle's handle is new, every stale call fails and leaves the
// live object alone, and memory stays flat.
TEST_F(StreamOps, AStaleHandleNeverReachesALaterSessionOrStream)
{
    // Fewer under the sanitizers, whose thread starts and ends are slow.
    constexpr int kCycles = kMeasuresMemory ? 1000 : 200;
    std::set<void *> sessions{m_hSession};
    std::set<void *> streams;
    size_t residentAfterWarmUp = 0;
    void *previous = m_hSession;
    ASSERT_EQ(1, KR_4100_Logout(m_hSession));
    for (int i = 0; i < kCycles; ++i) {
        void *session = Login();
        ASSERT_NE(nullptr, session) << "cycle " << i;
        ASSERT_TRUE(sessions.insert(session).second) << "a session handle came back at cycle " << i;
        ASSERT_EQ(0, KR_4100_Logout(previous));  // the habit: a second logout of the last one

        void *live = KR_4100_RealPlay(session, i % 2, 1, SinkCallback, 1);
        ASSERT_NE(nullptr, live) << "cycle " << i;
        ASSERT_TRUE(streams.insert(live).second) << "a stream handle came back at cycle " << i;
        ASSERT_EQ(1, KR_4100_StopRealPlay(live));
        void *other = KR_4100_RealPlay(session, 1 - i % 2, 1, SinkCallback, 2);
        ASSERT_NE(nullptr, other);
        ASSERT_TRUE(streams.insert(other).second) << "a stream handle came back at cycle " << i;
        ASSERT_EQ(0, KR_4100_StopRealPlay(live));  // stopping twice leaves the other channel alone
        ASSERT_EQ(0, KR_4100_PlayBackCtrl(live, KR_4100_PLAY_PAUSE));
        ASSERT_EQ(1, KR_4100_StopRealPlay(other));

        ASSERT_EQ(1, KR_4100_Logout(session));
        previous = session;
        if (i == 100) {
            residentAfterWarmUp = ResidentBytes();
        }
    }
    // Every stop went to the channel it named: one stop command each.
    EXPECT_EQ(2u * kCycles, m_Emu.PacketsWithCode(ChannelKind::Command, kStopLive).size());
    if (kMeasuresMemory && residentAfterWarmUp != 0) {
        EXPECT_LT(ResidentBytes(), residentAfterWarmUp + (4u << 20));
    }
}
