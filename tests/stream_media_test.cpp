// Media on stream connections: frames delivered byte-exact over TCP with odd
// splits and over UDP with sequence numbers, the connection-lost notice,
// hostile datagrams and control replies, and multicast in a network
// namespace of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "net/command_packet.h"
#include "stream/dvr_stream.h"
#include "tests/support/eventually.h"
#include "tests/support/frame_sink.h"
#include "tests/support/net_namespace.h"
#include "tests/support/recorder_fixture.h"

using kn::emu::BuildFrame;
using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::emu::MediaOptions;
using kn::test::ExpectedFrame;
using kn::test::kWait;
using kn::test::Pattern;
using kn::test::Sink;
using kn::test::SinkCallback;

namespace {

class StreamMedia : public kn::test::LoggedInTest {
protected:
    void BeforeLogin() override { kn::test::ClearSinks(); }

    // A mix of frame types and sizes, with the frames the host should get.
    // Payload bytes 2 and 3 of types 2 and 3 are zeroed only when they come
    // in the chunk of their frame header, and chunk boundaries on a stream
    // connection are the receiver's: here they are zero from the start.
    static Bytes MixedStream(std::vector<Bytes> &expected)
    {
        struct Spec {
            uint8_t type;
            size_t size;
        };
        const Spec specs[] = {{2, 10}, {1, 7}, {3, 300}, {0, 5}, {2, 4}, {2, 9000}, {1, 4}, {3, 6}};
        Bytes stream;
        uint32_t counter = 0;
        uint8_t seed = 1;
        for (const Spec &s : specs) {
            Bytes payload = Pattern(s.size, seed += 13);
            if (s.type >= 2) {
                payload[2] = payload[3] = 0;
            }
            const Bytes frame = BuildFrame(s.type, payload);
            stream.insert(stream.end(), frame.begin(), frame.end());
            expected.push_back(ExpectedFrame(s.type, payload, counter));
            if (s.type >= 2) {
                ++counter;
            }
        }
        return stream;
    }

    static void ExpectFrames(const std::vector<Bytes> &expected, uint32_t user, void *stream)
    {
        const auto frames = Sink(user).MediaFrames();
        ASSERT_EQ(expected.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(expected[i], frames[i].bytes) << "frame " << i;
            EXPECT_EQ(stream, frames[i].stream);
            EXPECT_EQ(user, frames[i].user);
        }
    }
};

TEST_F(StreamMedia, TcpFramesArriveByteExactWhateverTheSplits)
{
    void *stream = KR_4100_RealPlay(m_hSession, 1, 1, SinkCallback, 3);
    ASSERT_NE(nullptr, stream);
    const int conn = m_Emu.FindConnection(ChannelKind::Live);
    std::vector<Bytes> expected;
    const Bytes media = MixedStream(expected);
    MediaOptions options;
    options.pieces = {1, 3, 2, 7, 5, 1, 4095, 4097, 3};
    options.pause = std::chrono::milliseconds(1);
    ASSERT_TRUE(m_Emu.SendMedia(conn, media, options));
    ASSERT_TRUE(kn::test::Eventually([&] { return Sink(3).Count() >= static_cast<int>(expected.size()); }));
    ExpectFrames(expected, 3, stream);
    const auto frames = Sink(3).MediaFrames();
    EXPECT_EQ(2u, frames[0].type);
    EXPECT_EQ(1u, frames[1].type);
    EXPECT_EQ(3u, frames[2].type);
    EXPECT_EQ(0u, frames[3].type);
    EXPECT_EQ(0, Sink(3).Lost());
}

// Frames are handed to the delivery thread in batches while bytes keep
// coming; a frame after which the connection falls quiet must not wait for
// the rest of a batch (nor for the delivery thread's idle time-out of 5 s).
TEST_F(StreamMedia, AFrameFollowedBySilenceIsDeliveredAtOnce)
{
    void *stream = KR_4100_RealPlay(m_hSession, 1, 1, SinkCallback, 5);
    ASSERT_NE(nullptr, stream);
    const int conn = m_Emu.FindConnection(ChannelKind::Live);
    for (int n = 1; n <= 3; ++n) {
        const Bytes payload = Pattern(1000, static_cast<uint8_t>(n));
        ASSERT_TRUE(m_Emu.SendMedia(conn, BuildFrame(2, payload), MediaOptions{}));
        EXPECT_TRUE(kn::test::Eventually([&] { return Sink(5).Count() >= n; }, 2500)) << "frame " << n;
    }
}

TEST_F(StreamMedia, UdpFramesArriveByteExactAndAGapDropsTheFrameInProgress)
{
    void *stream = KR_4100_RealPlay(m_hSession, 1, 0, SinkCallback, 4);
    ASSERT_NE(nullptr, stream);
    const int conn = m_Emu.FindConnection(ChannelKind::Live);
    ASSERT_EQ(kn::emu::Transport::Udp, m_Emu.Connection(conn)->transport);
    std::vector<Bytes> expected;
    const Bytes media = MixedStream(expected);
    MediaOptions options;
    options.pieces = {5, 17, 1, 3, 1000};
    m_Emu.SetNextSequence(conn, 65533);  // the sequence wraps on the way
    ASSERT_TRUE(m_Emu.SendMedia(conn, media, options));
    ASSERT_TRUE(kn::test::Eventually([&] { return Sink(4).Count() >= static_cast<int>(expected.size()); }));
    ExpectFrames(expected, 4, stream);

    // A lost datagram in the middle of a frame: that frame is never
    // delivered, the next one is. Its counter still counts the lost frame,
    // and its payload bytes 2 and 3, in its header's datagram, are zeroed.
    const Bytes lostPayload = Pattern(3000, 9);
    const Bytes nextPayload = Pattern(50, 77);
    Bytes more = BuildFrame(2, lostPayload);
    const size_t lostEnd = more.size();
    const Bytes next = BuildFrame(2, nextPayload);
    more.insert(more.end(), next.begin(), next.end());
    MediaOptions gap;
    gap.pieces = {1000, 1000, lostEnd - 2000, next.size()};
    gap.drop = {1};
    ASSERT_TRUE(m_Emu.SendMedia(conn, more, gap));
    ASSERT_TRUE(kn::test::Eventually([&] { return Sink(4).Count() >= static_cast<int>(expected.size()) + 1; }));
    const auto frames = Sink(4).MediaFrames();
    EXPECT_EQ(ExpectedFrame(2, nextPayload, 6), frames.back().bytes);
}

TEST_F(StreamMedia, PeerCloseGivesOneLostNoticeAndTheHandleStaysValid)
{
    void *stream = KR_4100_RealPlay(m_hSession, 2, 1, SinkCallback, 5);
    ASSERT_NE(nullptr, stream);
    const int conn = m_Emu.FindConnection(ChannelKind::Live);
    ASSERT_TRUE(m_Emu.SendMedia(conn, BuildFrame(1, Bytes{1, 2, 3, 4})));
    ASSERT_TRUE(kn::test::Eventually([] { return Sink(5).Count() == 1; }));
    ASSERT_TRUE(m_Emu.CloseConnection(conn));
    ASSERT_TRUE(kn::test::Eventually([] { return Sink(5).Lost() == 1; }));
    // Several receive passes later there is still exactly one notice.
    kn::platform::SleepMs(500);
    EXPECT_EQ(1, Sink(5).Lost());
    const auto frames = Sink(5).Frames();
    EXPECT_EQ(255u, frames.back().type);
    EXPECT_TRUE(frames.back().nullData);
    EXPECT_TRUE(frames.back().bytes.empty());
    EXPECT_EQ(stream, frames.back().stream);
    EXPECT_EQ(5u, frames.back().user);

    // Still registered: a second RealPlay on the channel reuses it.
    EXPECT_EQ(stream, KR_4100_RealPlay(m_hSession, 2, 1, SinkCallback, 5));
    EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
    EXPECT_EQ(0, KR_4100_StopRealPlay(stream));
}

TEST_F(StreamMedia, ShortDatagramsAreIgnoredAndAnEmptyOneIsALostConnection)
{
    void *stream = KR_4100_RealPlay(m_hSession, 1, 0, SinkCallback, 6);
    ASSERT_NE(nullptr, stream);
    const int conn = m_Emu.FindConnection(ChannelKind::Live);
    ASSERT_TRUE(m_Emu.SendRaw(conn, Bytes{1}));
    ASSERT_TRUE(m_Emu.SendRaw(conn, Bytes{1, 2}));
    ASSERT_TRUE(m_Emu.SendRaw(conn, Bytes{'S', 'D', 'V'}));
    ASSERT_TRUE(m_Emu.SendRaw(conn, Bytes{'S', 'D', 'V', 'R'}));  // a reply without a code
    const Bytes payload = Pattern(20, 3);
    ASSERT_TRUE(m_Emu.SendDatagram(conn, 1, BuildFrame(2, payload)));
    ASSERT_TRUE(kn::test::Eventually([] { return Sink(6).Count() == 1; }));
    EXPECT_EQ(ExpectedFrame(2, payload, 0), Sink(6).MediaFrames()[0].bytes);
    EXPECT_EQ(0, Sink(6).Lost());

    ASSERT_TRUE(m_Emu.SendEmptyDatagram(conn));
    ASSERT_TRUE(kn::test::Eventually([] { return Sink(6).Lost() == 1; }));
    ASSERT_TRUE(m_Emu.SendDatagram(conn, 2, BuildFrame(2, payload)));
    kn::platform::SleepMs(300);
    EXPECT_EQ(1, Sink(6).Lost());
    EXPECT_EQ(1, Sink(6).Count());  // the socket is gone: nothing more is read
    EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
}

// Datagrams longer than one TCP receive among short ones: each is read whole
// and its frame delivered, and the short ones after it are in step.
TEST_F(StreamMedia, LongDatagramsAreReadWhole)
{
    void *stream = KR_4100_RealPlay(m_hSession, 1, 0, SinkCallback, 9);
    ASSERT_NE(nullptr, stream);
    const int conn = m_Emu.FindConnection(ChannelKind::Live);
    std::vector<Bytes> expected;
    uint16_t seq = 1;
    uint32_t counter = 0;
    auto send = [&](size_t payloadSize) {
        Bytes payload = Pattern(payloadSize, static_cast<uint8_t>(seq));
        payload[2] = payload[3] = 0;
        // A frame longer than the delivery buffer is dropped there (release
        // 1.0.0.1's is 32768 bytes), its counter used up.
        const Bytes frame = ExpectedFrame(2, payload, counter++);
        if (frame.size() <= kn::CDvrStream::kDeliverBufSize) {
            expected.push_back(frame);
        }
        return m_Emu.SendDatagram(conn, seq++, BuildFrame(2, payload));
    };
    for (size_t big : {size_t{5000 - 8}, size_t{65000 - 8}}) {
        ASSERT_TRUE(send(20));
        ASSERT_TRUE(send(big));  // a datagram of 5000 (65000) bytes, prefix included
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(send(16 + static_cast<size_t>(i)));
        }
        // Sent one at a time: a socket buffer never drops one behind our back.
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(9).Count() == static_cast<int>(expected.size()); }));
    }
    ExpectFrames(expected, 9, stream);
    EXPECT_EQ(0, Sink(9).Lost());
}

// A control reply whose length field counts its code byte alone, with media
// right behind it in one write: the reply still takes the bytes a stream
// reads of it (the live reply's 18, the playback reply's stream id), and the
// frames behind it arrive whole and in step.
TEST_F(StreamMedia, AReplyThatUndercountsItsLengthKeepsTheStreamInStep)
{
    ASSERT_EQ(1, KR_4100_SetConnectTime(10000));
    std::vector<Bytes> expected;
    const Bytes media = MixedStream(expected);
    const struct {
        ChannelKind kind;
        Bytes reply;
    } cases[] = {
        {ChannelKind::Live, {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 1, 0, ';', 0, 0, 0, 0, 0, 0, 0}},
        {ChannelKind::Playback, {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 1, 0, 'K', 0x55, 0x66, 0x77, 0x88}},
    };
    uint32_t user = 10;
    for (const auto &c : cases) {
        SCOPED_TRACE(kn::emu::KindName(c.kind));
        m_Emu.SetMediaSilent(c.kind, true);
        Bytes blob = c.reply;
        blob.insert(blob.end(), media.begin(), media.end());
        std::thread recorder([&] {
            const int conn = m_Emu.WaitForConnection(c.kind, kWait);
            if (conn >= 0 && m_Emu.WaitFor([&] { return !m_Emu.Packets(conn).empty(); }, kWait)) {
                m_Emu.SendRaw(conn, blob);
            }
        });
        const DvrTime start{2024, 5, 1, 8, 0, 0};
        void *stream = c.kind == ChannelKind::Live ? KR_4100_RealPlay(m_hSession, 1, 1, SinkCallback, user)
                                                   : KR_4100_PlayBack(m_hSession, 1, &start, SinkCallback, user);
        recorder.join();
        ASSERT_NE(nullptr, stream);
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Count() >= static_cast<int>(expected.size()); }));
        ExpectFrames(expected, user, stream);
        ASSERT_EQ(1, KR_4100_StopRealPlay(stream));
        if (c.kind == ChannelKind::Playback) {
            // The stream id came from the reply's own bytes.
            ASSERT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.PacketsWithCode(ChannelKind::Command, 79).empty(); }, kWait));
            EXPECT_EQ((Bytes{0x55, 0x66, 0x77, 0x88}), m_Emu.PacketsWithCode(ChannelKind::Command, 79)[0].payload);
        }
        ++user;
    }
}

// A second opening of a playing channel that the recorder never
// acknowledges: the stream ends, and the callback that was in place learns
// it once, with type 255 - unless it had already been told of its
// connection's loss. The handle is dead either way.
TEST_F(StreamMedia, AFailedReopeningTellsTheHolderOnce)
{
    int live = 0;  // the emulator's live connections so far
    for (bool lostBefore : {false, true}) {
        SCOPED_TRACE(lostBefore ? "connection lost before" : "playing");
        const uint32_t first = lostBefore ? 12 : 11;
        m_Emu.SetMediaSilent(ChannelKind::Live, false);
        ASSERT_EQ(1, KR_4100_SetConnectTime(10000));
        void *stream = KR_4100_RealPlay(m_hSession, 2, 1, SinkCallback, first);
        ASSERT_NE(nullptr, stream);
        const int conn = m_Emu.FindConnection(ChannelKind::Live, live);
        live += 2;  // this opening's and the failed reopening's
        ASSERT_TRUE(m_Emu.SendMedia(conn, BuildFrame(1, Bytes{1, 2, 3, 4})));
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(first).Count() == 1; }));
        if (lostBefore) {
            ASSERT_TRUE(m_Emu.CloseConnection(conn));
            ASSERT_TRUE(kn::test::Eventually([&] { return Sink(first).Lost() == 1; }));
        }
        m_Emu.SetMediaSilent(ChannelKind::Live, true);
        ASSERT_EQ(1, KR_4100_SetConnectTime(kn::test::kShortReplyTimeoutMs));
        EXPECT_EQ(nullptr, KR_4100_RealPlay(m_hSession, 2, 1, SinkCallback, 13));
        EXPECT_TRUE(kn::test::Eventually([&] { return Sink(first).Lost() == 1; }));
        EXPECT_EQ(0, KR_4100_StopRealPlay(stream));
        kn::platform::SleepMs(200);  // a second notice would have come by now
        EXPECT_EQ(1, Sink(first).Lost());
        EXPECT_EQ(1, Sink(first).Count());
        EXPECT_EQ(0, Sink(13).Count() + Sink(13).Lost());
        const auto frames = Sink(first).Frames();
        EXPECT_EQ(255u, frames.back().type);
        EXPECT_EQ(stream, frames.back().stream);
    }
}

// A control reply shorter than the fields it carries: the missing bytes
// read as zero, never as bytes beyond the chunk.
TEST(StreamControlReply, MissingBytesReadAsZero)
{
    auto stream = kn::CDvrStream::Create({1, 2, 3, 4}, kn::CDvrStream::kPlayBack, 0x0100007F, 9);
    uint8_t buf[64];
    std::memset(buf, 0xEE, sizeof(buf));
    const uint8_t reply[12] = {'S', 'D', 'V', 'R', 1, 2, 3, 4, 2, 0, 'K', 0x5A};
    std::memcpy(buf, reply, sizeof(reply));
    stream->HandleChunk(buf, sizeof(reply));
    EXPECT_EQ((kn::net::StreamId{0x5A, 0, 0, 0}), stream->StreamId());

    // A group announcement cut short before its port is only an acknowledgement.
    std::memset(buf, 0xEE, sizeof(buf));
    const uint8_t live[16] = {'S', 'D', 'V', 'R', 1, 2, 3, 4, 2, 0, ';', 0, 239, 1, 2, 3};
    std::memcpy(buf, live, sizeof(live));
    stream->HandleChunk(buf, sizeof(live));
    // Too short for a code byte, and unknown codes: dropped.
    stream->HandleChunk(buf, 5);
    buf[10] = 'Z';
    stream->HandleChunk(buf, 11);
    EXPECT_EQ((kn::net::StreamId{0x5A, 0, 0, 0}), stream->StreamId());
    stream->Destroy();
}

// Live over UDP with a multicast announcement, inside a namespace of the
// test's own: each stream moves to the group and receives from it. With
// several streams on one announced port (and another process's socket
// already there), they all share the port.
std::string MulticastBody(bool ownPort, int streams = 1, bool otherProcess = false)
{
    kn::emu::CRecorderEmulator emu;
    if (!emu.Start() || KR_4100_Init() != 1) {
        return "set-up failed";
    }
    kn::test::AcceptLogins(emu);
    kn::test::ClearSinks();
    std::string failure;
    const kn::emu::Id4 group{239, 7, 8, 9};
    const uint16_t announced = 9321;
    if (ownPort) {
        emu.SetLiveAnnounceOwnPort(group);
    } else {
        emu.SetLiveAnnounce(group, announced);
    }
    int other = -1;
    if (otherProcess) {
        const int on = 1;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(announced);
        other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (other < 0 || setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            bind(other, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            return "the other process's socket could not bind";
        }
    }
    int32_t result = 0;
    void *session = KR_4100_Login("127.0.0.1", emu.Port(), "admin", "pw", &result);
    std::vector<void *> handles;
    for (int i = 0; i < streams && session != nullptr; ++i) {
        handles.push_back(KR_4100_RealPlay(session, 1 + i, 0, SinkCallback, 7 + i));
    }
    const Bytes payload = Pattern(40, 5);
    const Bytes frame = BuildFrame(2, payload);
    for (int i = 0; i < streams && failure.empty(); ++i) {
        const uint32_t user = 7 + static_cast<uint32_t>(i);
        if (i >= static_cast<int>(handles.size()) || handles[i] == nullptr) {
            failure = "no live stream " + std::to_string(i);
            break;
        }
        const int conn = emu.FindConnection(ChannelKind::Live, i);
        const uint16_t port = ownPort ? emu.Connection(conn)->peerPort : announced;
        // The move to the group follows the acknowledgement on the receive
        // thread: send until the first frame comes through.
        uint16_t seq = 0;
        const bool got = kn::test::Eventually(
            [&] {
                emu.SendMulticast(group, port, kn::emu::BuildDatagram(seq++, frame.data(), frame.size()));
                kn::platform::SleepMs(10);
                return Sink(user).Count() > 0;
            },
            5000);
        if (!got) {
            failure = "no multicast frame delivered to stream " + std::to_string(i);
        } else if (Sink(user).MediaFrames()[0].bytes.size() != payload.size() + 16) {
            failure = "frame of the wrong size";
        } else if (Sink(user).Lost() != 0) {
            failure = "connection reported lost";
        }
    }
    for (void *stream : handles) {
        if (stream != nullptr && KR_4100_StopRealPlay(stream) != 1) {
            failure += " stop failed";
        }
    }
    if (other >= 0) {
        close(other);
    }
    KR_4100_Cleanup();
    emu.Stop();
    return failure;
}

TEST(StreamMulticast, AnnouncedGroupOnTheStreamsOwnPortIsJoined)
{
    KN_EXPECT_IN_NET_NAMESPACE([] { return MulticastBody(true); });
}

TEST(StreamMulticast, AnnouncedGroupOnAnotherPortMovesTheStream)
{
    KN_EXPECT_IN_NET_NAMESPACE([] { return MulticastBody(false); });
}

TEST(StreamMulticast, StreamsAndOtherProcessesShareTheGroupPort)
{
    KN_EXPECT_IN_NET_NAMESPACE([] { return MulticastBody(false, 2, true); });
}

}  // namespace
