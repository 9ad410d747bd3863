// Hosts stop streams and log out from inside the library's callbacks: on a
// frame and on the lost-connection notice (both on the delivery thread) and
// on a recorder message (session receive thread). None of it may deadlock,
// wait for the calling thread itself or free memory still in use; and
// streams opened and stopped again leave no thread or descriptor behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <string>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/thread.h"
#include "tests/support/eventually.h"
#include "tests/support/frame_sink.h"
#include "tests/support/recorder_fixture.h"

using kn::emu::BuildFrame;
using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::test::DeliveredFrame;
using kn::test::kWait;
using kn::test::Sink;
using kn::test::SinkCallback;

namespace {

constexpr uint8_t kStopLive = 61;
constexpr uint8_t kLogout = 53;
// A call that waited for its own thread would sit out the whole stop grace.
constexpr uint64_t kBelowStopGraceMs = 1900;

// Outcome of a call made inside a callback.
struct InCallback {
    std::atomic<int> calls{0};
    std::atomic<int> result{-1};
    std::atomic<uint64_t> elapsedMs{0};

    template <typename F>
    void Run(F f)
    {
        if (calls.fetch_add(1) != 0) {
            return;  // once
        }
        const uint64_t start = kn::platform::NowMs();
        result = f();
        elapsedMs = kn::platform::NowMs() - start;
    }
    bool Done() const { return result.load() != -1; }
};

class StreamCallbackThread : public kn::test::LoggedInTest {
protected:
    void BeforeLogin() override { kn::test::ClearSinks(); }

    void *Live(uint32_t user, int32_t channel = 1)
    {
        void *stream = KR_4100_RealPlay(m_hSession, channel, 1, SinkCallback, user);
        m_nConn = m_Emu.FindConnection(ChannelKind::Live, m_nLiveCount++);
        return stream;
    }

    void ExpectPrompt(const InCallback &call, int expected)
    {
        ASSERT_TRUE(kn::test::Eventually([&] { return call.Done(); }));
        EXPECT_EQ(expected, call.result.load());
        EXPECT_LT(call.elapsedMs.load(), kBelowStopGraceMs);
    }

    int m_nConn = -1;
    int m_nLiveCount = 0;
};

TEST_F(StreamCallbackThread, StopRealPlayFromAFrame)
{
    static InCallback call;
    Sink(1).SetAction([](const DeliveredFrame &f) {
        if (f.type != 255) {
            call.Run([&] { return KR_4100_StopRealPlay(f.stream); });
        }
    });
    void *stream = Live(1);
    ASSERT_NE(nullptr, stream);
    ASSERT_TRUE(m_Emu.SendMedia(m_nConn, BuildFrame(1, Bytes(64, 1))));
    ExpectPrompt(call, 1);
    EXPECT_EQ(0, KR_4100_StopRealPlay(stream));
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.PacketsWithCode(ChannelKind::Command, kStopLive).empty(); }, kWait));
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(m_nConn)->open; }, kWait));
}

TEST_F(StreamCallbackThread, StopRealPlayFromTheLostNotice)
{
    static InCallback call;
    Sink(2).SetAction([](const DeliveredFrame &f) {
        if (f.type == 255) {
            call.Run([&] { return KR_4100_StopRealPlay(f.stream); });
        }
    });
    void *stream = Live(2);
    ASSERT_NE(nullptr, stream);
    ASSERT_TRUE(m_Emu.CloseConnection(m_nConn));
    ExpectPrompt(call, 1);
    EXPECT_EQ(0, KR_4100_StopRealPlay(stream));
    EXPECT_EQ(1, Sink(2).Lost());
}

TEST_F(StreamCallbackThread, LogoutFromAFrameWithOtherStreamsOpen)
{
    static InCallback call;
    static void *session;
    session = m_hSession;
    Sink(3).SetAction([](const DeliveredFrame &f) {
        if (f.type != 255) {
            call.Run([] { return KR_4100_Logout(session); });
        }
    });
    void *other = Live(4, 2);
    ASSERT_NE(nullptr, other);
    const int otherConn = m_nConn;
    void *stream = Live(3, 1);
    ASSERT_NE(nullptr, stream);
    // Media keeps flowing on the other stream while the logout runs.
    ASSERT_TRUE(
        m_Emu.SendMedia(otherConn, BuildFrame(2, Bytes(5000, 2)), {{700}, std::chrono::milliseconds(0), {}, {}}));
    ASSERT_TRUE(m_Emu.SendMedia(m_nConn, BuildFrame(2, Bytes(64, 1))));
    ExpectPrompt(call, 1);
    EXPECT_EQ(0, KR_4100_Logout(m_hSession));
    EXPECT_EQ(0, KR_4100_StopRealPlay(stream));
    EXPECT_EQ(0, KR_4100_StopRealPlay(other));
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.PacketsWithCode(ChannelKind::Command, kLogout).empty(); }, kWait));
    EXPECT_EQ(2u, m_Emu.PacketsWithCode(ChannelKind::Command, kStopLive).size());
}

TEST_F(StreamCallbackThread, LogoutFromTheLostNotice)
{
    static InCallback call;
    static void *session;
    session = m_hSession;
    Sink(5).SetAction([](const DeliveredFrame &f) {
        if (f.type == 255) {
            call.Run([] { return KR_4100_Logout(session); });
        }
    });
    void *stream = Live(5);
    ASSERT_NE(nullptr, stream);
    ASSERT_TRUE(m_Emu.CloseConnection(m_nConn, true));
    ExpectPrompt(call, 1);
    EXPECT_EQ(0, KR_4100_Logout(m_hSession));
    EXPECT_EQ(0, KR_4100_StopRealPlay(stream));
}

TEST_F(StreamCallbackThread, FrameAndLostNoticeBothStopTheStream)
{
    static InCallback onFrame;
    static InCallback onLost;
    Sink(6).SetAction([](const DeliveredFrame &f) {
        if (f.type == 255) {
            onLost.Run([&] { return KR_4100_StopRealPlay(f.stream); });
        } else {
            kn::platform::SleepMs(50);  // let the close overtake this frame
            onFrame.Run([&] { return KR_4100_StopRealPlay(f.stream); });
        }
    });
    void *stream = Live(6);
    ASSERT_NE(nullptr, stream);
    ASSERT_TRUE(m_Emu.SendMedia(m_nConn, BuildFrame(1, Bytes(16, 1))));
    ASSERT_TRUE(m_Emu.CloseConnection(m_nConn));
    // Whichever comes first stops it. When the loss notice wins, the frame
    // may be dropped with the stream and its callback never run; when both
    // run, the second finds the stream gone.
    auto stops = [&] { return std::max(0, onFrame.result.load()) + std::max(0, onLost.result.load()); };
    ASSERT_TRUE(kn::test::Eventually([&] { return onFrame.Done() || onLost.Done(); }));
    EXPECT_TRUE(kn::test::Eventually([&] { return stops() == 1; }));
    if (Sink(6).Lost() == 1) {
        ASSERT_TRUE(kn::test::Eventually([&] { return onLost.Done(); }));
    }
    EXPECT_EQ(1, stops());
    EXPECT_EQ(0, KR_4100_StopRealPlay(stream));
}

std::atomic<void *> g_stream{nullptr};
std::atomic<void *> g_session{nullptr};
InCallback g_stopInMessage;
InCallback g_logoutInMessage;

void KR_CALL StopOnMessage(uint32_t, void *session, const unsigned char *, uint32_t)
{
    g_stopInMessage.Run([] { return KR_4100_StopRealPlay(g_stream.load()); });
    if (session == g_session.load()) {
        g_logoutInMessage.Run([session] { return KR_4100_Logout(session); });
    }
}

TEST_F(StreamCallbackThread, StopAndLogoutFromTheMessageCallback)
{
    void *stream = Live(7);
    ASSERT_NE(nullptr, stream);
    void *kept = Live(8, 2);
    ASSERT_NE(nullptr, kept);
    g_stream = stream;
    g_session = m_hSession;
    ASSERT_EQ(1, KR_4100_SetDVRMessCallBack(StopOnMessage));
    const int cmd = CommandConnection();
    ASSERT_TRUE(m_Emu.SendPacket(cmd, 56, Bytes(12, 1)));
    ExpectPrompt(g_stopInMessage, 1);
    ExpectPrompt(g_logoutInMessage, 1);
    EXPECT_EQ(0, KR_4100_StopRealPlay(kept));
    EXPECT_EQ(0, KR_4100_Logout(m_hSession));
}

int Threads()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

// Open descriptors other than pipes: the emulator keeps a pipe pair for every
// connection it has seen, the library opens sockets and event descriptors.
int Descriptors()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            char target[64] = {};
            const std::string path = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t len = readlink(path.c_str(), target, sizeof(target) - 1);
            n += len > 0 && std::strncmp(target, "pipe:", 5) != 0;
        }
        closedir(d);
    }
    return n;
}

TEST_F(StreamCallbackThread, HundredOpenStopCyclesLeaveNoThreadsOrDescriptors)
{
    const DvrTime start{2020, 1, 2, 3, 4, 5};
    auto cycle = [&](int i) {
        void *stream = nullptr;
        switch (i % 5) {
        case 0: stream = KR_4100_RealPlay(m_hSession, i % 16, 1, SinkCallback, 9); break;
        case 1: stream = KR_4100_RealPlay(m_hSession, i % 16, 0, SinkCallback, 9); break;
        case 2: stream = KR_4100_PlayBack(m_hSession, 1, &start, SinkCallback, 9); break;
        case 3: stream = KR_4100_DownLoad(m_hSession, 1, &start, &start, SinkCallback, 9); break;
        case 4: stream = KR_4100_Talk(m_hSession); break;
        }
        ASSERT_NE(nullptr, stream) << "cycle " << i;
        EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
    };
    cycle(0);  // first use of lazily made process-wide things
    const int threads = Threads();
    const int fds = Descriptors();
    for (int i = 0; i < 100; ++i) {
        cycle(i);
    }
    // Threads that were stopped end on their own time; wait, bounded.
    EXPECT_TRUE(kn::test::Eventually([&] { return Threads() <= threads; }))
        << Threads() << " threads, " << threads << " before";
    EXPECT_TRUE(kn::test::Eventually([&] { return Descriptors() <= fds; }))
        << Descriptors() << " descriptors, " << fds << " before";
}

}  // namespace
