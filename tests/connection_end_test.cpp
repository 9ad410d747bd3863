// How connections end, seen from the recorder's side: every close by the
// library resets the connection, also while another thread still holds the
// socket; and a live stream that cannot follow its multicast announcement is
// reported lost instead of falling silent.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/thread.h"
#include "support/eventually.h"
#include "support/frame_sink.h"
#include "support/recorder_fixture.h"

using kn::emu::ChannelKind;
using kn::emu::CloseCause;
using kn::test::Sink;
using kn::test::SinkCallback;

namespace {

const char *CauseName(CloseCause c)
{
    switch (c) {
    case CloseCause::None: return "still open";
    case CloseCause::Emulator: return "closed by the emulator";
    case CloseCause::PeerOrderly: return "orderly end";
    case CloseCause::PeerReset: return "reset";
    }
    return "?";
}

class ConnectionEnd : public kn::test::RecorderTest {
protected:
    // How the nth connection of a kind ended, once the emulator saw it end.
    std::string EndOf(ChannelKind kind, int nth)
    {
        const int conn = m_Emu.WaitForConnection(kind, kn::test::kWait, nth);
        if (conn < 0) {
            return "no such connection";
        }
        m_Emu.WaitFor([&] { return !m_Emu.Connection(conn)->open; }, kn::test::kWait);
        return CauseName(m_Emu.Connection(conn)->closeCause);
    }
};

// Logout closes the command channel while its receive thread may still be
// waiting on it (release 1.0.0.1 waits outside the socket lock): the
// recorder must see a reset every time, never an orderly end.
TEST_F(ConnectionEnd, LogoutResetsTheCommandChannelEveryTime)
{
    for (int i = 0; i < 8; ++i) {
        void *session = Login();
        ASSERT_NE(nullptr, session);
        kn::platform::SleepMs(static_cast<uint32_t>(i * 37 % 120));  // catch the receive thread anywhere in its wait
        ASSERT_EQ(1, KR_4100_Logout(session));
        EXPECT_EQ("reset", EndOf(ChannelKind::Command, i)) << "logout " << i;
    }
}

// A talk stream stopped while another host thread is blocked sending audio
// into it (the recorder stopped reading): the send ends, and the recorder
// sees a reset when it reads again.
TEST_F(ConnectionEnd, StopTalkDuringABlockedSendResetsTheTalkConnection)
{
    ASSERT_EQ(1, KR_4100_SetConnectTime(kn::kRelease1001 ? 5000 : 3000));
    m_Emu.SetStopReading(ChannelKind::Talk, true);
    void *session = Login();
    ASSERT_NE(nullptr, session);
    void *talk = KR_4100_Talk(session);
    ASSERT_NE(nullptr, talk);
    const int conn = m_Emu.FindConnection(ChannelKind::Talk);
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        const std::vector<uint8_t> audio(1 << 20, 9);
        for (int i = 0; i < 16; ++i) {
            KR_4100_AudioSend(talk, audio.data(), static_cast<int32_t>(audio.size()));
        }
        sending = false;
    });
    kn::platform::SleepMs(300);  // the sender now waits for room
    const uint64_t began = kn::platform::NowMs();
    EXPECT_EQ(1, KR_4100_StopTalk(session));
    ASSERT_TRUE(kn::test::Eventually([&] { return !sending.load(); }, 2000));
    EXPECT_LT(kn::platform::NowMs() - began, 1500u);
    sender.join();
    ASSERT_TRUE(m_Emu.SetReading(conn, true));
    EXPECT_EQ("reset", EndOf(ChannelKind::Talk, 0));
    EXPECT_EQ(1, KR_4100_Logout(session));
}

// The announced group's port is taken, so the stream cannot move there: it
// would receive nothing ever again, and the host is told (type 255).
TEST_F(ConnectionEnd, AMulticastMoveThatCannotBindIsALostStream)
{
    const int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    ASSERT_EQ(0, bind(blocker, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    ASSERT_EQ(0, getsockname(blocker, reinterpret_cast<sockaddr *>(&sa), &len));
    m_Emu.SetLiveAnnounce({239, 1, 2, 3}, ntohs(sa.sin_port));

    void *session = Login();
    ASSERT_NE(nullptr, session);
    for (int transport : {0, 1}) {
        SCOPED_TRACE(transport == 0 ? "udp" : "tcp");
        const uint32_t user = static_cast<uint32_t>(transport) + 1;
        void *stream = KR_4100_RealPlay(session, transport + 1, transport, SinkCallback, user);
        ASSERT_NE(nullptr, stream);
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(user).Lost() == 1; }, 3000));
        const auto frames = Sink(user).Frames();
        ASSERT_EQ(1u, frames.size());
        EXPECT_EQ(stream, frames[0].stream);
        EXPECT_TRUE(frames[0].nullData);
        kn::platform::SleepMs(100);
        EXPECT_EQ(1, Sink(user).Lost()) << "reported once";
        EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
    }
    close(blocker);
}

}  // namespace
