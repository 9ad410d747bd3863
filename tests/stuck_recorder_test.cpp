// A recorder whose application hangs while its TCP stack keeps the
// connection open: it stops reading, the send buffers fill, and every send
// must still end within its bound. A send that cannot finish in time loses
// the connection, reported as for a failed receive.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <poll.h>

#include "api/session_registry.h"
#include "net/socket_slot.h"
#include "platform/thread.h"
#include "session/dvr_session.h"
#include "support/eventually.h"
#include "support/frame_sink.h"
#include "support/recorder_fixture.h"
#include "support/tcp_listener.h"

using kn::emu::ChannelKind;
using kn::net::CSocketSlot;
using kn::net::SendResult;

namespace {

// ---------------------------------------------------------------- the slot alone

// A connected socket whose peer never reads, owned by a slot.
struct StuckPeer {
    kn::test::CTcpListener listener;
    CSocketSlot slot;
    int far = -1;

    StuckPeer()
    {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = kn::test::LoopbackNetOrder();
        sa.sin_port = htons(listener.Port());
        if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            return;
        }
        kn::platform::SetAbortiveClose(s);
        slot.Install(s);
        far = listener.Accept();
    }
    ~StuckPeer()
    {
        slot.Close();
        if (far >= 0)
            close(far);
    }
    // Sends until a send times out; returns how long that last send took.
    uint64_t Fill(uint32_t timeoutMs)
    {
        const std::vector<uint8_t> chunk(1 << 20, 0x5A);
        for (int i = 0; i < 256; ++i) {
            const uint64_t began = kn::platform::NowMs();
            const SendResult r = slot.Send(chunk.data(), chunk.size(), timeoutMs);
            if (r != SendResult::Sent) {
                EXPECT_EQ(SendResult::TimedOut, r);
                return kn::platform::NowMs() - began;
            }
        }
        ADD_FAILURE() << "256 MB went into a peer that never reads";
        return 0;
    }
};

// What the peer sees at the end: a reset (ECONNRESET) or an orderly end (0).
std::string PeerEnd(int fd)
{
    std::vector<uint8_t> buf(1 << 16);
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0) {
            return "nothing";
        }
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n > 0) {
            continue;
        }
        return n == 0 ? "orderly end" : (errno == ECONNRESET ? "reset" : "error");
    }
}

TEST(BoundedSend, ASendIntoAFullConnectionTimesOutAndBreaksIt)
{
    StuckPeer peer;
    ASSERT_GE(peer.far, 0);
    const uint64_t took = peer.Fill(200);
    EXPECT_GE(took, 150u);
    EXPECT_LT(took, 700u);
    EXPECT_TRUE(peer.slot.Broken());
    // Later sends give up at once, however long their own bound.
    const uint64_t began = kn::platform::NowMs();
    EXPECT_EQ(SendResult::Failed, peer.slot.Send("x", 1, 5000));
    EXPECT_LT(kn::platform::NowMs() - began, 50u);
    // A new socket in the slot is not broken.
    peer.slot.Close();
    EXPECT_FALSE(peer.slot.Broken());
    EXPECT_EQ(SendResult::NoSocket, peer.slot.Send("x", 1, 10));
}

// A sender waiting for room while another thread closes the slot returns at
// once, and the peer sees a reset: closing a socket that another thread
// still holds never sends an orderly end first.
TEST(BoundedSend, CloseDuringABlockedSendEndsItAndResetsThePeer)
{
    StuckPeer peer;
    ASSERT_GE(peer.far, 0);
    const std::vector<uint8_t> chunk(1 << 20, 0x33);
    SendResult last = SendResult::Sent;
    uint64_t endedAt = 0;
    std::thread sender([&] {
        while (last == SendResult::Sent) {
            last = peer.slot.Send(chunk.data(), chunk.size(), 60000);
        }
        endedAt = kn::platform::NowMs();
    });
    kn::platform::SleepMs(300);  // the buffers are full by now; the sender waits
    ASSERT_EQ(0u, endedAt);
    const uint64_t closedAt = kn::platform::NowMs();
    peer.slot.Close();
    sender.join();
    EXPECT_EQ(SendResult::Failed, last);
    EXPECT_LT(endedAt - closedAt, 200u);
    EXPECT_EQ("reset", PeerEnd(peer.far));
}

// Two senders on one full socket: the second is bounded by its own time-out
// even though the first holds the socket.
TEST(BoundedSend, ASenderQueuedBehindAStuckOneKeepsItsBound)
{
    StuckPeer peer;
    ASSERT_GE(peer.far, 0);
    const std::vector<uint8_t> chunk(1 << 20, 0x44);
    std::atomic<bool> stop{false};
    std::thread first([&] {
        while (!stop && peer.slot.Send(chunk.data(), chunk.size(), 3000) == SendResult::Sent) {
        }
    });
    kn::platform::SleepMs(300);
    const uint64_t began = kn::platform::NowMs();
    const SendResult r = peer.slot.Send("k", 1, 200);
    const uint64_t took = kn::platform::NowMs() - began;
    EXPECT_NE(SendResult::Sent, r);
    EXPECT_LT(took, 700u);
    stop = true;
    first.join();
}

// ---------------------------------------------------------------- the exports

class StuckRecorder : public kn::test::RecorderTest {
protected:
    static constexpr uint32_t kReplyTimeoutMs = kn::kRelease1001 ? 1000 : 300;
    // Each export may take its bound plus the stops it runs; nothing may
    // take as long as a second bound on top.
    static constexpr uint64_t kLimitMs = 2 * kReplyTimeoutMs + 600;

    void SetUp() override
    {
        RecorderTest::SetUp();
        kn::test::ClearSinks();
        ASSERT_EQ(1, KR_4100_SetConnectTime(kReplyTimeoutMs));
    }

    uint64_t Timed(const std::function<void()> &call)
    {
        const uint64_t began = kn::platform::NowMs();
        call();
        return kn::platform::NowMs() - began;
    }
};

// A talk connection the recorder stopped reading: megabyte sends of audio
// fill it, and none blocks for longer than the bound (the one that cannot
// finish loses the connection; later ones have nothing to send on).
TEST_F(StuckRecorder, AudioSendReturnsWithinItsBound)
{
    m_Emu.SetStopReading(ChannelKind::Talk, true);
    void *session = Login();
    ASSERT_NE(nullptr, session);
    void *talk = KR_4100_Talk(session);
    ASSERT_NE(nullptr, talk);
    const std::vector<uint8_t> audio(1 << 20, 0x7F);
    uint64_t longest = 0;
    for (int i = 0; i < 12; ++i) {
        const uint64_t took = Timed([&] { KR_4100_AudioSend(talk, audio.data(), static_cast<int32_t>(audio.size())); });
        longest = std::max(longest, took);
        EXPECT_LT(took, kReplyTimeoutMs + 400u) << "send " << i;
    }
    std::printf("AudioSend of 1 MB x 12 into a recorder that stopped reading: longest %llu ms (bound %u ms)\n",
                static_cast<unsigned long long>(longest), kReplyTimeoutMs);
    const uint64_t stop = Timed([&] { EXPECT_EQ(1, KR_4100_StopTalk(session)); });
    EXPECT_LT(stop, kLimitMs);
    EXPECT_EQ(1, KR_4100_Logout(session));
}

// A recorder that stopped reading every connection, with the command
// channel's buffers full: every export returns within its bound, and the
// session reports the loss as for a failed receive.
TEST_F(StuckRecorder, EveryExportReturnsWithinItsBound)
{
    for (ChannelKind kind : {ChannelKind::Command, ChannelKind::Live, ChannelKind::Playback, ChannelKind::Talk}) {
        m_Emu.SetStopReading(kind, true);
    }
    KR_4100_SetDVRMessage(0x1200, kn::platform::CurrentThreadId());
    void *session = Login();
    ASSERT_NE(nullptr, session);
    const DvrTime start{2024, 1, 2, 3, 4, 5};
    void *live = KR_4100_RealPlay(session, 3, 1, kn::test::SinkCallback, 1);
    void *playback = KR_4100_PlayBack(session, 1, &start, kn::test::SinkCallback, 2);
    void *talk = KR_4100_Talk(session);
    ASSERT_NE(nullptr, live);
    ASSERT_NE(nullptr, playback);
    ASSERT_NE(nullptr, talk);

    // Fill the command channel as fast as the library lets a caller send.
    const std::shared_ptr<kn::CDvrSession> internal = kn::g_SessionList.FindSession(session);
    ASSERT_NE(nullptr, internal);
    uint8_t payload[89] = {};
    uint64_t lastSend = 0;
    for (int i = 0; i < 2000000; ++i) {
        const uint64_t began = kn::platform::NowMs();
        if (!internal->SendCommand(42, payload, sizeof payload)) {
            lastSend = kn::platform::NowMs() - began;
            break;
        }
    }
    EXPECT_LT(lastSend, kReplyTimeoutMs + 400u);
    if (!kn::kRelease1001) {
        DvrThreadMessage message{};
        ASSERT_EQ(1, KR_4100_GetThreadMessage(&message, 3000)) << "no disconnect notice";
        EXPECT_EQ(session, message.hSession);
    }

    const std::vector<uint8_t> audio(1 << 20, 1);
    uint8_t out[16];
    DvrFileRecord record{};
    const struct {
        const char *name;
        std::function<void()> call;
    } exports[] = {
        {"KR_4100_AudioSend x4",
         [&] {
             for (int i = 0; i < 4; ++i)
                 KR_4100_AudioSend(talk, audio.data(), 1 << 20);
         }},
        {"KR_4100_GetDvrParam", [&] { EXPECT_EQ(0, KR_4100_GetDvrParam(session, 42, nullptr, 0, out, sizeof out)); }},
        {"KR_4100_SetDvrParam", [&] { EXPECT_EQ(0, KR_4100_SetDvrParam(session, 42, out, 4)); }},
        {"KR_4100_FindFile", [&] { KR_4100_FindFile(session, 1, 0, &start, &start); }},
        {"KR_4100_FindNextFile", [&] { KR_4100_FindNextFile(session, &record); }},
        {"KR_4100_PlayBackCtrl", [&] { KR_4100_PlayBackCtrl(playback, 0x4033); }},
        {"KR_4100_StopRealPlay", [&] { EXPECT_EQ(1, KR_4100_StopRealPlay(live)); }},
        {"KR_4100_StopPlayBack", [&] { EXPECT_EQ(1, KR_4100_StopPlayBack(playback)); }},
        {"KR_4100_StopTalk", [&] { EXPECT_EQ(1, KR_4100_StopTalk(session)); }},
        {"KR_4100_Logout", [&] { EXPECT_EQ(1, KR_4100_Logout(session)); }},
    };
    for (const auto &e : exports) {
        const uint64_t took = Timed(e.call);
        EXPECT_LT(took, kLimitMs) << e.name;
        std::printf("%-22s %5llu ms against a recorder that stopped reading\n", e.name,
                    static_cast<unsigned long long>(took));
    }
}

}  // namespace
