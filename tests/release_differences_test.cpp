// Where the two releases part ways, checked through the exports against the
// recorder emulator. Every case runs in both test binaries and expects the
// behaviour of the release it is linked to.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/globals.h"
#include "core/release.h"
#include "platform/thread.h"
#include "tests/support/eventually.h"
#include "tests/support/recorder_fixture.h"

using kn::kRelease1001;
using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::test::kWait;
using kn::test::RecorderTest;

// What differs between the releases, seen through the exports.
class ReleaseBehaviour : public RecorderTest {};

namespace {

constexpr uint8_t kReplyTalkAccepted = '%';
constexpr uint8_t kReplyTalkRefused = '&';

std::atomic<int> g_messages{0};
uint8_t g_lastMessage[12];

void KR_CALL OnMessage(uint32_t, void *, const unsigned char *data, uint32_t len)
{
    if (len == 12) {
        std::memcpy(g_lastMessage, data, 12);
    }
    ++g_messages;
}

std::atomic<int> g_frames{0};
std::atomic<int32_t> g_largestFrame{0};
std::atomic<int32_t> g_lastFrame{0};

void KR_CALL OnFrame(void *, uint32_t type, const unsigned char *, int32_t len, uint32_t)
{
    if (type > 3) {
        return;
    }
    if (len > g_largestFrame.load()) {
        g_largestFrame = len;
    }
    g_lastFrame = len;
    ++g_frames;
}

Bytes LoginPayload(uint8_t byte0, uint8_t byte9)
{
    Bytes payload(10, 0);
    payload[0] = byte0;
    payload[9] = byte9;
    return payload;
}

// Every file below the test process's settings folder.
int FilesInConfigHome()
{
    const char *home = std::getenv("XDG_CONFIG_HOME");
    if (home == nullptr) {
        return -1;
    }
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(home, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(ReleaseDifferences, ConnectTimeFloor)
{
    EXPECT_EQ(kRelease1001 ? 0 : 1, KR_4100_SetConnectTime(999));
    EXPECT_EQ(kRelease1001 ? 3000u : 999u, kn::g_dwReplyTimeout.load());
    EXPECT_EQ(1, KR_4100_SetConnectTime(1000));
    EXPECT_EQ(1000u, kn::g_dwReplyTimeout.load());
    // Compared unsigned: the top of the range is a long time, not a negative one.
    EXPECT_EQ(1, KR_4100_SetConnectTime(0x80000000u));
    EXPECT_EQ(0x80000000u, kn::g_dwReplyTimeout.load());
    EXPECT_EQ(0, KR_4100_SetConnectTime(0));
    EXPECT_EQ(0x80000000u, kn::g_dwReplyTimeout.load());
}

TEST(ReleaseDifferences, NotifyRegistration)
{
    EXPECT_EQ(kRelease1001 ? 1 : 0, KR_4100_SetDVRMessage(0x1201, 42));
    EXPECT_EQ(0u, kn::g_uNotifyMessage.load());
    EXPECT_EQ(0u, kn::g_dwNotifyThreadId.load());
    EXPECT_EQ(1, KR_4100_SetDVRMessage(0x1200, 43));
    EXPECT_EQ(kRelease1001 ? 0u : 0x1200u, kn::g_uNotifyMessage.load());
    EXPECT_EQ(kRelease1001 ? 0u : 43u, kn::g_dwNotifyThreadId.load());
}

TEST_F(ReleaseBehaviour, ReleaseNoticeAfterTheRecorderCloses)
{
    // Even the registration that release 1.0.0.13 refuses is "accepted" by
    // 1.0.0.1, and neither registration makes that release post anything.
    KR_4100_SetDVRMessage(0x1201, kn::platform::CurrentThreadId());
    KR_4100_SetDVRMessage(0x1200, kn::platform::CurrentThreadId());
    m_Emu.SetCloseAfterLogin(true);
    void *session = Login();
    ASSERT_NE(nullptr, session);
    const int conn = CommandConnection();
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(conn)->open; }, kWait));

    DvrThreadMessage message{};
    if (kRelease1001) {
        EXPECT_EQ(0, KR_4100_GetThreadMessage(&message, 2000));
    } else {
        ASSERT_EQ(1, KR_4100_GetThreadMessage(&message, 10000));
        EXPECT_EQ(session, message.hSession);
    }
}

TEST_F(ReleaseBehaviour, ReleaseLoginResultMapping)
{
    struct Case {
        uint8_t byte9;
        int32_t result1001;
    };
    const Case cases[] = {{'!', 4},  {'/', 8},  {'0', 8}, {'1', 8}, {'a', 16},
                          {'b', 16}, {'c', 16}, {'z', 0}, {0, 0},   {'"', 0}};
    for (const Case &c : cases) {
        // Byte 0 is non-zero throughout: release 1.0.0.13 logs in with it.
        m_Emu.SetLoginPayload(LoginPayload(0x7F, c.byte9));
        int32_t result = -1;
        void *session = Login("a", "b", &result);
        const int32_t expected = kRelease1001 ? c.result1001 : 0x7F;
        if (expected == 0) {
            EXPECT_EQ(nullptr, session) << "byte 9 = " << int(c.byte9);
            EXPECT_EQ(-1, result);
        } else {
            ASSERT_NE(nullptr, session) << "byte 9 = " << int(c.byte9);
            EXPECT_EQ(expected, result) << "byte 9 = " << int(c.byte9);
            EXPECT_EQ(1, KR_4100_Logout(session));
        }
    }

    // A reply too short to hold byte 9.
    m_Emu.SetLoginPayload(Bytes{0x7F, 0, 0, 0, 0});
    int32_t result = -1;
    void *session = Login("a", "b", &result);
    EXPECT_EQ(kRelease1001, session == nullptr);
}

TEST_F(ReleaseBehaviour, ReleaseRecorderMessageFilter)
{
    ASSERT_EQ(1, KR_4100_SetDVRMessCallBack(OnMessage));
    void *session = Login();
    ASSERT_NE(nullptr, session);
    const int conn = CommandConnection();
    ASSERT_GE(conn, 0);
    KR_4100_SetConnectTime(1000);
    m_Emu.SetParamReply(33, Bytes(4, 1));

    // Each message is followed by a request whose reply comes after it on the
    // connection: once a reply has been taken, the message before it has been
    // dispatched (a reply that shares a chunk with it is lost, so retry).
    const auto sendAndSettle = [&](const Bytes &payload) {
        if (!m_Emu.SendPacket(conn, 56, payload)) {
            return false;
        }
        uint8_t out[4];
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (KR_4100_GetDvrParam(session, 33, nullptr, 0, out, sizeof(out)) == 1) {
                return true;
            }
        }
        return false;
    };

    // Words at 4, 6 and 8 all zero; the rest is not.
    ASSERT_TRUE(sendAndSettle({1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 5, 6}));
    EXPECT_EQ(kRelease1001 ? 0 : 1, g_messages.load());
    // Ten payload bytes carry the three words; the two missing bytes do not count.
    ASSERT_TRUE(sendAndSettle({1, 2, 3, 4, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kRelease1001 ? 0 : 2, g_messages.load());
    // Only the high byte of the word at 8 is set: that is enough.
    ASSERT_TRUE(sendAndSettle({9, 9, 9, 9, 0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(kRelease1001 ? 1 : 3, g_messages.load());
    EXPECT_EQ(1, g_lastMessage[9]);
}

TEST_F(ReleaseBehaviour, ReleaseParameterReadLength)
{
    void *session = Login();
    ASSERT_NE(nullptr, session);
    m_Emu.SetParamReply(33, Bytes(60, 0x5A));

    uint8_t out[100];
    std::memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(kRelease1001 ? 0 : 1, KR_4100_GetDvrParam(session, 33, nullptr, 0, out, sizeof(out)));
    for (size_t i = 0; i < sizeof(out); ++i) {
        const uint8_t want = (!kRelease1001 && i < 60) ? 0x5A : 0xEE;
        ASSERT_EQ(want, out[i]) << "byte " << i;
    }

    // A longer reply than the buffer: cut by 1.0.0.13, refused by 1.0.0.1.
    uint8_t small[16];
    std::memset(small, 0xEE, sizeof(small));
    EXPECT_EQ(kRelease1001 ? 0 : 1, KR_4100_GetDvrParam(session, 33, nullptr, 0, small, sizeof(small)));
    EXPECT_EQ(kRelease1001 ? 0xEE : 0x5A, small[0]);

    // The exact size is accepted by both.
    std::memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(1, KR_4100_GetDvrParam(session, 33, nullptr, 0, out, 60));
    EXPECT_EQ(0x5A, out[59]);
    EXPECT_EQ(0xEE, out[60]);
}

TEST_F(ReleaseBehaviour, ReleaseReplyTableRefusesItsMissingCodesBeforeSending)
{
    void *session = Login();
    ASSERT_NE(nullptr, session);
    KR_4100_SetConnectTime(2000);
    for (int code : {163, 164, 170, 173}) {
        m_Emu.SetReplyCode(static_cast<uint8_t>(code), static_cast<uint8_t>(code == 163 || code == 164 ? 166 : code));
        EXPECT_EQ(kRelease1001 ? 0 : 1, KR_4100_SetDvrParam(session, code, nullptr, 0)) << code;
    }
    // A code both tables hold, sent last: once it is recorded, everything
    // before it is too.
    EXPECT_EQ(1, KR_4100_SetDvrParam(session, 33, nullptr, 0));
    for (int code : {163, 164, 170, 173}) {
        EXPECT_EQ(kRelease1001, m_Emu.PacketsWithCode(ChannelKind::Command, static_cast<uint8_t>(code)).empty())
            << code;
    }
}

TEST_F(ReleaseBehaviour, ReleaseTalkAcceptance)
{
    void *session = Login();
    ASSERT_NE(nullptr, session);

    m_Emu.SetMediaReplyCode(ChannelKind::Talk, 'S');
    void *talk = KR_4100_Talk(session);
    EXPECT_EQ(kRelease1001, talk == nullptr);
    if (talk != nullptr) {
        EXPECT_EQ(1, KR_4100_StopTalk(session));
    }

    m_Emu.SetMediaReplyCode(ChannelKind::Talk, kReplyTalkRefused);
    EXPECT_EQ(nullptr, KR_4100_Talk(session));

    m_Emu.SetMediaReplyCode(ChannelKind::Talk, kReplyTalkAccepted);
    talk = KR_4100_Talk(session);
    EXPECT_NE(nullptr, talk);
    EXPECT_EQ(1, KR_4100_StopTalk(session));
}

TEST_F(ReleaseBehaviour, ReleaseDeliveryBufferBoundsTheFrameSize)
{
    void *session = Login();
    ASSERT_NE(nullptr, session);
    void *stream = KR_4100_RealPlay(session, 0, 1, OnFrame, 7);
    ASSERT_NE(nullptr, stream);
    const int conn = m_Emu.WaitForConnection(ChannelKind::Live, kWait);
    ASSERT_GE(conn, 0);

    Bytes media = kn::emu::BuildFrame(1, Bytes(40000, 0x33));
    const Bytes marker = kn::emu::BuildFrame(1, Bytes(1000, 0x44));
    media.insert(media.end(), marker.begin(), marker.end());
    ASSERT_TRUE(m_Emu.SendMedia(conn, media));

    // The small frame comes after the large one: once it is delivered, the
    // large one has been delivered or dropped.
    ASSERT_TRUE(kn::test::Eventually([] { return g_lastFrame.load() > 1000 && g_lastFrame.load() < 2000; }));
    EXPECT_EQ(kRelease1001 ? 1 : 2, g_frames.load());
    if (kRelease1001) {
        EXPECT_LT(g_largestFrame.load(), 32768);
    } else {
        EXPECT_GT(g_largestFrame.load(), 40000);
    }
    EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
}

TEST_F(ReleaseBehaviour, ReleaseSettingsStoreUse)
{
    ASSERT_EQ(0, FilesInConfigHome());
    for (int i = 0; i < 2; ++i) {
        void *session = Login();
        ASSERT_NE(nullptr, session);
        void *stream = KR_4100_RealPlay(session, 1, i, OnFrame, 0);
        ASSERT_NE(nullptr, stream);
        EXPECT_EQ(1, KR_4100_StopRealPlay(stream));
        EXPECT_EQ(1, KR_4100_Logout(session));
    }
    if (kRelease1001) {
        EXPECT_EQ(0, FilesInConfigHome());
    } else {
        EXPECT_GT(FilesInConfigHome(), 0);
    }
}

TEST_F(ReleaseBehaviour, ReleaseLoginAgainAfterTheRecorderClosed)
{
    // The receive thread that lost its connection must take up the new one.
    m_Emu.SetCloseAfterLogin(true);
    void *first = Login();
    ASSERT_NE(nullptr, first);
    const int conn = CommandConnection();
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(conn)->open; }, kWait));

    m_Emu.SetCloseAfterLogin(false);
    void *second = Login();
    EXPECT_EQ(first, second);
    ASSERT_NE(nullptr, second);
    m_Emu.SetParamReply(33, Bytes(4, 1));
    uint8_t out[4] = {};
    EXPECT_EQ(1, KR_4100_GetDvrParam(second, 33, nullptr, 0, out, sizeof(out)));
    EXPECT_EQ(1, out[3]);
}
