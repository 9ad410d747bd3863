// Sessions against the recorder emulator: login, keep-alive, recorder
// messages, disconnect notices, logout and reuse.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "tests/support/eventually.h"
#include "tests/support/recorder_fixture.h"

using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::emu::Id4;
using kn::test::kWait;
using kn::test::RecorderTest;

// Login, keep-alive, messages and notices of one session.
class SessionTest : public RecorderTest {};

namespace {

constexpr uint8_t kLogin = 49;
constexpr uint8_t kLogout = 53;
constexpr uint8_t kKeepAlive = 56;

int ThreadCount()
{
    int n = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *e = readdir(dir)) {
            n += e->d_name[0] != '.';
        }
        closedir(dir);
    }
    return n;
}

std::atomic<int> g_messages{0};
std::atomic<void *> g_messageSession{nullptr};
uint8_t g_messageBytes[12];
std::atomic<uint32_t> g_messageLength{0};

void KR_CALL OnMessage(uint32_t type, void *session, const unsigned char *data, uint32_t len)
{
    if (type == 101 && len == 12) {
        std::memcpy(g_messageBytes, data, 12);
    }
    g_messageLength = len;
    g_messageSession = session;
    ++g_messages;
}

}  // namespace

TEST_F(SessionTest, LoginSendsNamesAndEchoesTheSessionId)
{
    m_Emu.SetSessionId({0x0A, 0x0B, 0x0C, 0x0D});
    int32_t result = 0;
    void *session = Login("admin", "pw", &result);
    ASSERT_NE(nullptr, session);
    EXPECT_EQ(kn::test::kLoginAccepted, result);

    const int conn = CommandConnection();
    ASSERT_GE(conn, 0);
    // Wait for two keep-alives after the login, then log out.
    ASSERT_TRUE(m_Emu.WaitFor(
        [&] {
            int after = 0;
            for (const auto &p : m_Emu.Packets(conn)) {
                after += p.code == kKeepAlive && p.sessionId == Id4{0x0A, 0x0B, 0x0C, 0x0D};
            }
            return after >= 2;
        },
        kWait));
    EXPECT_EQ(1, KR_4100_Logout(session));
    ASSERT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.PacketsWithCode(ChannelKind::Command, kLogout).empty(); }, kWait));

    bool loginSeen = false;
    for (const auto &p : m_Emu.Packets(conn)) {
        if (p.code == kLogin) {
            loginSeen = true;
            EXPECT_EQ((Bytes{0x53, 0x44, 0x56, 0x52, 0, 0, 0, 0, 10, 0, 49, 5, 'a', 'd', 'm', 'i', 'n', 2, 'p', 'w'}),
                      p.raw);
        } else if (p.code == kKeepAlive) {
            ASSERT_EQ(25u, p.raw.size());
            // Before the login reply the id is zero; afterwards it is echoed.
            if (!loginSeen) {
                EXPECT_EQ((Id4{0, 0, 0, 0}), p.sessionId);
            }
            EXPECT_EQ(Bytes(14, 0), p.payload);  // no live streams
        } else if (p.code == kLogout) {
            EXPECT_EQ((Bytes{0x53, 0x44, 0x56, 0x52, 0x0A, 0x0B, 0x0C, 0x0D, 0x01, 0x00, 0x35}), p.raw);
        }
    }
    EXPECT_TRUE(loginSeen);
    EXPECT_EQ(0, KR_4100_Logout(session));
}

TEST_F(SessionTest, KeepAlivesComeAboutOncePerSecond)
{
    ASSERT_NE(nullptr, Login());
    const int conn = CommandConnection();
    ASSERT_TRUE(
        m_Emu.WaitFor([&] { return m_Emu.PacketsWithCode(ChannelKind::Command, kKeepAlive).size() >= 4; }, kWait));
    const auto keepAlives = m_Emu.PacketsWithCode(ChannelKind::Command, kKeepAlive);
    (void)conn;
    for (size_t i = 2; i < keepAlives.size(); ++i) {
        const auto gap = keepAlives[i].at - keepAlives[i - 1].at;
        EXPECT_GT(gap, std::chrono::milliseconds(500));
    }
}

TEST_F(SessionTest, EmptyAndNullNamesAndNullResultPointer)
{
    void *session = KR_4100_Login("127.0.0.1", m_Emu.Port(), nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, session);
    const auto logins = m_Emu.PacketsWithCode(ChannelKind::Command, kLogin);
    ASSERT_EQ(1u, logins.size());
    EXPECT_EQ((Bytes{0, 0}), logins[0].payload);
}

TEST_F(SessionTest, NamesTooLongForOnePacketAreRefusedBeforeConnecting)
{
    const std::string user(44, 'u');
    const std::string password(44, 'p');  // 44 + 44 + 2 > 89
    int32_t result = 77;
    EXPECT_EQ(nullptr, KR_4100_Login("127.0.0.1", m_Emu.Port(), user.c_str(), password.c_str(), &result));
    EXPECT_EQ(77, result);
    const std::string fits(43, 'p');  // 44 + 43 + 2 = 89 fits exactly
    ASSERT_NE(nullptr, KR_4100_Login("127.0.0.1", m_Emu.Port(), user.c_str(), fits.c_str(), &result));
    const auto logins = m_Emu.PacketsWithCode(ChannelKind::Command, kLogin);
    ASSERT_EQ(1u, logins.size());
    EXPECT_EQ(100u, logins[0].raw.size());
}

TEST_F(SessionTest, LoginResultByteIsSignExtendedAndZeroRefuses)
{
    if (kn::kRelease1001) {
        GTEST_SKIP() << "release 1.0.0.1 maps payload byte 9 instead";
    }
    m_Emu.SetLoginResult(0x80);
    int32_t result = 0;
    ASSERT_NE(nullptr, Login("a", "b", &result));
    EXPECT_EQ(-128, result);

    KR_4100_Cleanup();
    m_Emu.SetLoginResult(0);
    result = 55;
    EXPECT_EQ(nullptr, Login("a", "b", &result));
    EXPECT_EQ(55, result);

    m_Emu.SetLoginResult(1, 0);  // a reply without a result byte
    EXPECT_EQ(nullptr, Login("a", "b", &result));
}

TEST_F(SessionTest, LoginFailsFastWhenNothingListens)
{
    kn::emu::CRecorderEmulator gone;
    ASSERT_TRUE(gone.Start());
    const uint16_t port = gone.Port();
    gone.Stop();
    int32_t result = 9;
    EXPECT_EQ(nullptr, KR_4100_Login("127.0.0.1", port, "a", "b", &result));
    EXPECT_EQ(9, result);
}

TEST_F(SessionTest, SilentRecorderRefusesLoginAfterSixSilentPasses)
{
    if (kn::kRelease1001) {
        GTEST_SKIP() << "release 1.0.0.1 does not count silence";
    }
    KR_4100_SetConnectTime(20000);
    m_Emu.SetSilent(true);
    KR_4100_SetDVRMessage(0x1200, kn::platform::CurrentThreadId());
    const uint64_t start = kn::platform::NowMs();
    EXPECT_EQ(nullptr, Login());
    const uint64_t elapsed = kn::platform::NowMs() - start;
    // Silence is noticed after about 1.2 s, long before the reply time-out.
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 15000u);
    DvrThreadMessage message;
    EXPECT_EQ(0, KR_4100_GetThreadMessage(&message, 0));  // never logged in: no notice
}

TEST_F(SessionTest, ShortReplyTimeOutRefusesASilentRecorder)
{
    KR_4100_SetConnectTime(50);
    m_Emu.SetSilent(true);
    EXPECT_EQ(nullptr, Login());
}

TEST_F(SessionTest, RecorderClosingPostsOneNoticeAndRequestsTimeOut)
{
    KR_4100_SetDVRMessage(0x1200, kn::platform::CurrentThreadId());
    m_Emu.SetCloseAfterLogin(true);
    void *session = Login();
    ASSERT_NE(nullptr, session);

    DvrThreadMessage message{};
    if (kn::kRelease1001) {
        // That release posts no notice at all; the loss only closes the socket.
        EXPECT_EQ(0, KR_4100_GetThreadMessage(&message, 1500));
    } else {
        ASSERT_EQ(1, KR_4100_GetThreadMessage(&message, 10000));
        EXPECT_EQ(0x1200u, message.message);
        EXPECT_EQ(session, message.hSession);
        EXPECT_EQ(0x0100007Fu, message.dwAddress);  // 127.0.0.1 as network-order bytes
        EXPECT_EQ(0, KR_4100_GetThreadMessage(&message, 300));
    }

    KR_4100_SetConnectTime(100);
    uint8_t out[8];
    EXPECT_EQ(0, KR_4100_GetDvrParam(session, 33, nullptr, 0, out, sizeof(out)));
    EXPECT_EQ(1, KR_4100_Logout(session));
}

TEST_F(SessionTest, RecorderMessagesReachTheCallbackWithTwelveBytes)
{
    ASSERT_EQ(1, KR_4100_SetDVRMessCallBack(OnMessage));
    void *session = Login();
    ASSERT_NE(nullptr, session);
    const int conn = CommandConnection();

    // 17 bytes: six payload bytes only; the rest reads as zero.
    ASSERT_TRUE(m_Emu.SendPacket(conn, 56, {1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(kn::test::Eventually([] { return g_messages.load() == 1; }));
    EXPECT_EQ(session, g_messageSession.load());
    EXPECT_EQ(12u, g_messageLength.load());
    const uint8_t expected[12] = {1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, g_messageBytes, 12));

    ASSERT_TRUE(m_Emu.SendPacket(conn, 56, {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 7, 8, 1, 1}));
    ASSERT_TRUE(kn::test::Eventually([] { return g_messages.load() == 2; }));
    EXPECT_EQ(7, g_messageBytes[10]);
    EXPECT_EQ(8, g_messageBytes[11]);
}

TEST_F(SessionTest, LoginReplyWithoutAWaitingLoginReplacesTheSessionId)
{
    void *session = Login();
    ASSERT_NE(nullptr, session);
    const int conn = CommandConnection();
    m_Emu.SetSessionId({0x21, 0x22, 0x23, 0x24});
    ASSERT_TRUE(m_Emu.SendPacket(conn, 51, {1}));
    ASSERT_TRUE(m_Emu.WaitFor(
        [&] {
            for (const auto &p : m_Emu.PacketsWithCode(ChannelKind::Command, kKeepAlive)) {
                if (p.sessionId == Id4{0x21, 0x22, 0x23, 0x24}) {
                    return true;
                }
            }
            return false;
        },
        kWait));
}

TEST_F(SessionTest, SecondLoginReusesTheSessionAndItsThreads)
{
    void *first = Login();
    ASSERT_NE(nullptr, first);
    const int threads = ThreadCount();
    void *second = Login();
    EXPECT_EQ(first, second);
    // The emulator serves each connection on a thread of its own: the first
    // connection's thread may still be ending while the second one's runs.
    EXPECT_TRUE(m_Emu.WaitFor([&] { return ThreadCount() == threads; }, kWait)) << ThreadCount();
    // The first connection was logged out before the second logged in.
    ASSERT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.PacketsWithCode(ChannelKind::Command, kLogout).empty(); }, kWait));
    const int secondConn = CommandConnection(1);
    ASSERT_GE(secondConn, 0);

    // Another port is another session.
    kn::emu::CRecorderEmulator other;
    ASSERT_TRUE(other.Start());
    AcceptLogins(other);
    int32_t result = 0;
    void *third = KR_4100_Login("127.0.0.1", other.Port(), "a", "b", &result);
    ASSERT_NE(nullptr, third);
    EXPECT_NE(first, third);
    EXPECT_EQ(1, KR_4100_Logout(third));
}

TEST_F(SessionTest, FailedSecondLoginDestroysTheOldSession)
{
    void *first = Login();
    ASSERT_NE(nullptr, first);
    m_Emu.SetLoginResult(0);
    EXPECT_EQ(nullptr, Login());
    EXPECT_EQ(0, KR_4100_Logout(first));
    EXPECT_EQ(0, KR_4100_ClearFile(first));
}

TEST_F(SessionTest, ManyLoginsAndLogoutsLeaveNoThreadsBehind)
{
    const int threads = ThreadCount();
    for (int i = 0; i < 40; ++i) {
        void *session = Login();
        ASSERT_NE(nullptr, session);
        ASSERT_EQ(1, KR_4100_Logout(session));
    }
    EXPECT_TRUE(kn::test::Eventually([&] { return ThreadCount() <= threads; }));
}

TEST_F(SessionTest, CleanupLogsOutEverySession)
{
    kn::emu::CRecorderEmulator other;
    ASSERT_TRUE(other.Start());
    AcceptLogins(other);
    int32_t result = 0;
    void *a = Login();
    void *b = KR_4100_Login("127.0.0.1", other.Port(), "a", "b", &result);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(1, KR_4100_Cleanup());
    EXPECT_EQ(0, KR_4100_Logout(a));
    EXPECT_EQ(0, KR_4100_Logout(b));
    EXPECT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.PacketsWithCode(ChannelKind::Command, kLogout).empty(); }, kWait));
    EXPECT_TRUE(other.WaitFor([&] { return !other.PacketsWithCode(ChannelKind::Command, kLogout).empty(); }, kWait));
}

TEST_F(SessionTest, LogoutFromTheMessageCallbackReturns)
{
    static std::atomic<int> done{0};
    static void *target = nullptr;
    KR_4100_SetDVRMessCallBack([](uint32_t, void *session, const unsigned char *, uint32_t) {
        if (session == target) {
            done = 10 + KR_4100_Logout(session);
        }
    });
    target = Login();
    ASSERT_NE(nullptr, target);
    ASSERT_TRUE(m_Emu.SendPacket(CommandConnection(), 56, Bytes(12, 1)));
    ASSERT_TRUE(kn::test::Eventually([] { return done.load() != 0; }));
    EXPECT_EQ(11, done.load());
    EXPECT_EQ(0, KR_4100_Logout(target));
}
