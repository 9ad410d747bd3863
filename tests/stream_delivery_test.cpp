// Every frame a recorder sends reaches the host, against a recorder as eager
// as hardware: frames that come with the acknowledgement of an opening, a
// reopened stream whose old connection broke off inside a frame, a
// connection reset while the host is still busy with the first frame, and a
// TCP request moved to a multicast group (in a network namespace of the
// test's own).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/eventually.h"
#include "tests/support/frame_sink.h"
#include "tests/support/net_namespace.h"
#include "tests/support/recorder_fixture.h"

using kn::emu::BuildFrame;
using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::test::ExpectedFrame;
using kn::test::kWait;
using kn::test::Sink;
using kn::test::SinkCallback;

namespace {

constexpr DvrTime kStart{2024, 5, 6, 10, 0, 0};
constexpr DvrTime kEnd{2024, 5, 6, 10, 5, 0};

// n type 2 frames of the given size, numbered from `first` in their payload,
// with what the host must receive for each (counter from `counter`). Every
// payload byte is above 3, so a datagram that starts inside a frame can
// never be read as a frame header.
Bytes Frames(int n, size_t size, uint8_t first, uint32_t counter, std::vector<Bytes> *expected)
{
    Bytes wire;
    for (int i = 0; i < n; ++i) {
        Bytes payload(size);
        for (size_t k = 0; k < size; ++k) {
            payload[k] = static_cast<uint8_t>(0x80 | ((first + i + k) & 0x7F));
        }
        payload[2] = payload[3] = 0;
        const Bytes frame = BuildFrame(2, payload);
        wire.insert(wire.end(), frame.begin(), frame.end());
        if (expected != nullptr) {
            expected->push_back(ExpectedFrame(2, payload, counter + static_cast<uint32_t>(i)));
        }
    }
    return wire;
}

enum class Kind { LiveTcp, LiveUdp, PlayBack, DownLoad };

const char *Name(Kind k)
{
    switch (k) {
    case Kind::LiveTcp: return "live over tcp";
    case Kind::LiveUdp: return "live over udp";
    case Kind::PlayBack: return "playback";
    case Kind::DownLoad: return "download";
    }
    return "?";
}

ChannelKind EmulatorKind(Kind k)
{
    return k == Kind::PlayBack   ? ChannelKind::Playback
           : k == Kind::DownLoad ? ChannelKind::Download
                                 : ChannelKind::Live;
}

class StreamDelivery : public kn::test::LoggedInTest {
protected:
    void BeforeLogin() override { kn::test::ClearSinks(); }

    void *Open(Kind k, uint32_t user, int channel = 1)
    {
        switch (k) {
        case Kind::LiveTcp: return KR_4100_RealPlay(m_hSession, channel, 1, SinkCallback, user);
        case Kind::LiveUdp: return KR_4100_RealPlay(m_hSession, channel, 0, SinkCallback, user);
        case Kind::PlayBack: return KR_4100_PlayBack(m_hSession, channel, &kStart, SinkCallback, user);
        case Kind::DownLoad: return KR_4100_DownLoad(m_hSession, channel, &kStart, &kEnd, SinkCallback, user);
        }
        return nullptr;
    }

    static void ExpectWholeInOrder(const std::vector<Bytes> &expected, uint32_t user)
    {
        const auto frames = Sink(user).MediaFrames();
        ASSERT_EQ(expected.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(expected[i], frames[i].bytes) << "frame " << i;
        }
    }
};

const Kind kEveryKind[] = {Kind::LiveTcp, Kind::LiveUdp, Kind::PlayBack, Kind::DownLoad};

// The recorder's acknowledgement and its first twelve frames leave in one
// write: none of them is lost, the first included.
TEST_F(StreamDelivery, FramesThatComeWithTheAcknowledgementAreAllDelivered)
{
    std::vector<Bytes> expected;
    const Bytes first = Frames(12, 3000, 1, 0, &expected);
    m_Emu.SetOpeningMedia([&](const kn::emu::ConnectionInfo &, const kn::emu::RecordedPacket &) { return first; });
    uint32_t user = 1;
    for (const Kind k : kEveryKind) {
        SCOPED_TRACE(Name(k));
        void *stream = Open(k, user);
        ASSERT_NE(nullptr, stream);
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Count() >= 12; }));
        kn::platform::SleepMs(50);  // nothing more may follow
        ExpectWholeInOrder(expected, user);
        EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
        ++user;
    }
}

// A live stream lost inside a frame and opened again: the new connection's
// frames are whole, and the counter in their prefix goes on.
TEST_F(StreamDelivery, AReopenedStreamStartsFromTheNewConnectionsFirstFrame)
{
    int nth = 0;  // live connections so far
    for (const Kind k : {Kind::LiveTcp, Kind::LiveUdp}) {
        SCOPED_TRACE(Name(k));
        const uint32_t user = k == Kind::LiveTcp ? 1 : 2;
        const int channel = k == Kind::LiveTcp ? 1 : 2;
        void *stream = Open(k, user, channel);
        ASSERT_NE(nullptr, stream);
        const int conn = m_Emu.WaitForConnection(ChannelKind::Live, kWait, nth++);
        ASSERT_GE(conn, 0);
        // One frame whole, then half of the next: the connection breaks off.
        std::vector<Bytes> expected;
        Bytes old = Frames(2, 3000, 1, 0, &expected);
        expected.pop_back();
        old.resize(old.size() - 1500);
        ASSERT_TRUE(m_Emu.SendMedia(conn, old));
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Count() == 1; }));
        if (k == Kind::LiveTcp) {
            ASSERT_TRUE(m_Emu.CloseConnection(conn));
        } else {
            ASSERT_TRUE(m_Emu.SendEmptyDatagram(conn));
        }
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Lost() == 1; }));

        const size_t openings = m_Emu.PacketsWithCode(ChannelKind::Live, 57).size();
        ASSERT_EQ(stream, Open(k, user, channel));
        ASSERT_TRUE(
            kn::test::Eventually([&] { return m_Emu.PacketsWithCode(ChannelKind::Live, 57).size() > openings; }));
        // The newest live connection (a datagram socket bound to the port the
        // old one had is the same one for the emulator).
        int again = -1;
        nth = 0;
        for (const auto &c : m_Emu.Connections()) {
            if (c.kind == ChannelKind::Live) {
                again = c.index;
                ++nth;
            }
        }
        ASSERT_GE(again, 0);
        // Over UDP the new connection's datagrams go on from the old numbers,
        // as a recorder's counter for the stream may: still a new start.
        if (k == Kind::LiveUdp) {
            m_Emu.SetNextSequence(again, 3);
        }
        ASSERT_TRUE(m_Emu.SendMedia(again, Frames(3, 3000, 50, 2, &expected)));
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Count() >= 4; }));
        kn::platform::SleepMs(50);
        ExpectWholeInOrder(expected, user);
        EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
    }
}

// The recorder sends fifty frames and resets the connection while the host
// is still busy with the first: every frame is delivered, in order, and only
// then the loss, by the thread that delivers the frames.
TEST_F(StreamDelivery, FramesReceivedBeforeAConnectionFailsAreAllDeliveredBeforeTheLoss)
{
    uint32_t user = 1;
    for (const Kind k : kEveryKind) {
        SCOPED_TRACE(Name(k));
        std::atomic<bool> release{false};
        std::atomic<std::thread::id> frameThread{};
        std::atomic<bool> otherThread{false};
        Sink(user).SetAction([&](const kn::test::DeliveredFrame &f) {
            const std::thread::id self = std::this_thread::get_id();
            std::thread::id none{};
            if (!frameThread.compare_exchange_strong(none, self) && none != self) {
                otherThread = true;
            }
            if (f.type != 255) {
                kn::test::Eventually([&] { return release.load(); }, 5000);
            }
        });
        // Over UDP nothing holds the recorder back: frames of one datagram
        // each, so that the socket's buffer takes all of them at once.
        std::vector<Bytes> expected;
        const size_t size = k == Kind::LiveUdp ? 1000 : 4000;
        const Bytes media = Frames(50, size, static_cast<uint8_t>(user), 0, &expected);
        void *stream = Open(k, user);
        ASSERT_NE(nullptr, stream);
        const int conn = m_Emu.WaitForConnection(EmulatorKind(k), kWait, k == Kind::LiveUdp ? 1 : 0);
        ASSERT_GE(conn, 0);
        ASSERT_TRUE(m_Emu.SendMedia(conn, media));
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Count() == 1; }));
        if (k == Kind::LiveUdp) {
            ASSERT_TRUE(m_Emu.SendEmptyDatagram(conn));
        } else {
            // The frames must have reached the library's socket: a reset
            // throws away what the recorder's own socket still holds.
            ASSERT_TRUE(m_Emu.WaitUntilSent(conn, kn::test::kLongWaitMs));
            ASSERT_TRUE(m_Emu.CloseConnection(conn, true));
        }
        // However long the host is busy, the loss waits for the frames.
        kn::platform::SleepMs(200);
        EXPECT_EQ(0, Sink(user).Lost());
        release = true;
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Lost() == 1; }));
        const auto all = Sink(user).Frames();
        ASSERT_EQ(51u, all.size());
        EXPECT_EQ(255u, all.back().type);
        ExpectWholeInOrder(expected, user);
        EXPECT_FALSE(otherThread.load());
        EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
        ++user;
    }
}

// A live stream asked for over TCP and moved to a multicast group reads the
// group's datagrams as datagrams: frames that span three datagrams each
// arrive whole.
std::string TcpRequestMovedToMulticastBody()
{
    kn::emu::CRecorderEmulator emu;
    if (!emu.Start() || KR_4100_Init() != 1) {
        return "set-up failed";
    }
    kn::test::AcceptLogins(emu);
    kn::test::ClearSinks();
    const kn::emu::Id4 group{239, 7, 8, 10};
    const uint16_t port = 9322;
    emu.SetLiveAnnounce(group, port);
    int32_t result = 0;
    void *session = KR_4100_Login("127.0.0.1", emu.Port(), "admin", "pw", &result);
    void *stream = session ? KR_4100_RealPlay(session, 1, 1, SinkCallback, 7) : nullptr;
    std::string failure;
    if (stream == nullptr) {
        failure = "no live stream";
    } else {
        // The move follows the acknowledgement on the receive thread: send
        // until frames come through. Datagrams sent before it are lost, and
        // one that starts inside a frame is never read as a header.
        constexpr size_t kStretch = 1024;
        uint16_t seq = 0;
        uint8_t first = 0;
        const bool got = kn::test::Eventually(
            [&] {
                const Bytes frame = Frames(1, 2500, first++, 0, nullptr);
                for (size_t at = 0; at < frame.size(); at += kStretch) {
                    const size_t n = std::min(kStretch, frame.size() - at);
                    emu.SendMulticast(group, port, kn::emu::BuildDatagram(seq++, frame.data() + at, n));
                }
                kn::platform::SleepMs(5);
                return Sink(7).Count() >= 10;
            },
            10000);
        if (!got) {
            failure = "fewer than 10 multicast frames delivered";
        }
        for (const auto &f : Sink(7).MediaFrames()) {
            // Whole: the prefix says 2500 and every payload byte is the frame's own.
            uint32_t length = 0;
            if (f.bytes.size() == 16 + 2500) {
                std::memcpy(&length, f.bytes.data() + 12, 4);
            }
            const uint8_t base = static_cast<uint8_t>(f.bytes.size() > 20 ? f.bytes[20] - 4 : 0);
            bool own = length == 2500;
            for (size_t k = 4; own && k < 2500; ++k) {
                own = f.bytes[16 + k] == static_cast<uint8_t>(0x80 | ((base + k) & 0x7F));
            }
            if (!own && failure.empty()) {
                failure = "a multicast frame arrived garbled";
            }
        }
        if (Sink(7).Lost() != 0) {
            failure += " connection reported lost";
        }
        if (KR_4100_StopRealPlay(stream) != 1) {
            failure += " stop failed";
        }
    }
    KR_4100_Cleanup();
    emu.Stop();
    return failure;
}

TEST(StreamDeliveryMulticast, ATcpRequestMovedToAGroupReadsDatagramsAsDatagrams)
{
    KN_EXPECT_IN_NET_NAMESPACE([] { return TcpRequestMovedToMulticastBody(); });
}

}  // namespace
