// Checks the recorder emulator itself, with plain sockets, so that library
// tests can trust what it records and sends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/emulator/recorder_emulator.h"

namespace {

using namespace kn::emu;
using namespace std::chrono_literals;

// A plain client socket with bounded reads.
class TestClient {
public:
    TestClient(uint16_t port, int type = SOCK_STREAM)
    {
        m_fd = ::socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        m_bConnected = m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~TestClient()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    bool Connected() const { return m_bConnected; }
    int Fd() const { return m_fd; }
    uint16_t LocalPort() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
        return ntohs(a.sin_port);
    }
    bool Send(const Bytes &b) { return ::send(m_fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size()); }
    // Exactly n bytes (TCP) within the timeout; fewer on time-out or close.
    Bytes Read(size_t n, std::chrono::milliseconds timeout = 3000ms)
    {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            uint8_t buf[4096];
            const ssize_t r = ::recv(m_fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) {
                m_nLastRecv = r < 0 ? -errno : 0;
                break;
            }
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    // One datagram within the timeout, empty on time-out.
    Bytes ReadDatagram(std::chrono::milliseconds timeout = 3000ms)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return {};
        }
        uint8_t buf[65536];
        const ssize_t r = ::recv(m_fd, buf, sizeof buf, 0);
        return r > 0 ? Bytes(buf, buf + r) : Bytes{};
    }
    int LastRecv() const { return m_nLastRecv; }

private:
    int m_fd = -1;
    bool m_bConnected = false;
    int m_nLastRecv = 1;
};

Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Id4 kZeroId{0, 0, 0, 0};

class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_emu.Start()); }
    CRecorderEmulator m_emu;
};

TEST_F(EmulatorTest, LoginAnsweredWithChosenIdAndResult)
{
    m_emu.SetSessionId({0x11, 0x22, 0x33, 0x44});
    m_emu.SetLoginResult(0x85, 3);
    TestClient c(m_emu.Port());
    ASSERT_TRUE(c.Connected());
    const Bytes login = BuildPacket(kZeroId, 49, {1, 'a', 1, 'b'});
    ASSERT_TRUE(c.Send(login));

    const Bytes expected{'S', 'D', 'V', 'R', 0x11, 0x22, 0x33, 0x44, 4, 0, 51, 0x85, 0, 0};
    EXPECT_EQ(expected, c.Read(expected.size()));

    const int conn = m_emu.FindConnection(ChannelKind::Command);
    ASSERT_EQ(0, conn);
    const auto packets = m_emu.Packets(conn);
    ASSERT_EQ(1u, packets.size());
    EXPECT_EQ(login, packets[0].raw);
    EXPECT_EQ(49, packets[0].code);
    EXPECT_EQ((Bytes{1, 'a', 1, 'b'}), packets[0].payload);
}

TEST_F(EmulatorTest, PacketsParsedAcrossSplitsAndJunkSkipped)
{
    TestClient c(m_emu.Port());
    ASSERT_TRUE(c.Connected());
    // A keep-alive ahead of the login makes the connection a command channel
    // too, and is never answered.
    Bytes keepAlive = BuildPacket(kZeroId, 56, Bytes(14, 0));
    keepAlive[23] = 0x28;
    const Bytes login = BuildPacket(kZeroId, 49, {0, 0});
    const Bytes param = BuildPacket({1, 2, 3, 4}, 100, {9, 8, 7});
    const Bytes all = Cat(Cat(Cat(Bytes{'x', 'S', 'D'}, keepAlive), login), param);
    // One byte at a time for the first 20 bytes, then the rest in one write.
    for (size_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(c.Send(Bytes{all[i]}));
    }
    ASSERT_TRUE(c.Send(Bytes(all.begin() + 20, all.end())));

    const int conn = 0;
    ASSERT_TRUE(m_emu.WaitFor([&] { return m_emu.Packets(conn).size() == 3; }, 3000ms));
    const auto packets = m_emu.Packets(conn);
    EXPECT_EQ(keepAlive, packets[0].raw);
    EXPECT_EQ(login, packets[1].raw);
    EXPECT_EQ(param, packets[2].raw);
    EXPECT_EQ((Id4{1, 2, 3, 4}), packets[2].sessionId);
    EXPECT_LE(packets[0].at, packets[2].at);
    const auto info = m_emu.Connection(conn);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(ChannelKind::Command, info->kind);
    EXPECT_EQ(3u, info->skippedBytes);  // "xSD"
    EXPECT_EQ(c.LocalPort(), info->peerPort);

    // Replies: login first (keep-alive unanswered), then the parameter reply.
    const Bytes reply51 = BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 51, {1});
    const Bytes reply100 = BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 100, {});
    EXPECT_EQ(Cat(reply51, reply100), c.Read(reply51.size() + reply100.size()));
}

TEST_F(EmulatorTest, HostileLengthsNeverStallTheReader)
{
    TestClient c(m_emu.Port());
    ASSERT_TRUE(c.Connected());
    // Length 0 (no code byte) is skipped; a complete packet behind it is read.
    const Bytes bad{'S', 'D', 'V', 'R', 0, 0, 0, 0, 0, 0};
    const Bytes good = BuildPacket(kZeroId, 49, {});
    ASSERT_TRUE(c.Send(Cat(bad, good)));
    ASSERT_TRUE(m_emu.WaitFor([&] { return m_emu.Packets(0).size() == 1; }, 3000ms));
    EXPECT_EQ(good, m_emu.Packets(0)[0].raw);
    EXPECT_EQ(bad.size(), m_emu.Connection(0)->skippedBytes);
}

TEST_F(EmulatorTest, SearchAnswerLayoutCountAndSilentDays)
{
    m_emu.SetRecordings(2009, 3, 4, {{9, 0, 0, 10, 0, 0, 0x01020304}, {12, 0, 1, 13, 30, 59, 7}});
    m_emu.SetSearchSilentDate(2009, 3, 5);
    TestClient c(m_emu.Port());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_EQ(12u, c.Read(12).size());

    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 69, {9, 3, 4, 1, 0})));
    const Bytes expected = BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 71,
                                       {2, 0, 0, 0, 0, 9, 0, 0, 10, 0, 0, 4, 3, 2, 1, 12, 0, 1, 13, 30, 59, 7, 0, 0, 0});
    EXPECT_EQ(expected, c.Read(expected.size()));

    // The silent day gets nothing: the next reply on the wire is the
    // parameter reply sent after it.
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 69, {9, 3, 5, 1, 0})));
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 33, {})));
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 34, {}), c.Read(11));

    // A lying count, and an empty day, through the handler.
    m_emu.SetSearchHandler([](const SearchQuery &q) {
        SearchAnswer a;
        a.count = q.day == 6 ? 200 : -1;
        a.records.push_back({1, 2, 3, 4, 5, 6, static_cast<uint32_t>(q.channel * 1000 + q.selector)});
        return a;
    });
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 69, {10, 1, 6, 2, 5})));
    const Bytes lying = BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 71, {200, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 0xD5, 0x07, 0, 0});
    EXPECT_EQ(lying, c.Read(lying.size()));
}

TEST_F(EmulatorTest, ParamRepliesIgnoredCodesAndLateSends)
{
    m_emu.SetParamReply(163, {1, 2, 3});
    m_emu.SetIgnored(100, true);
    TestClient c(m_emu.Port());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_EQ(12u, c.Read(12).size());

    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 100, {})));  // ignored
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 200, {})));  // not in the table
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 163, {})));
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 166, {1, 2, 3}), c.Read(14));

    // A recorder message pushed by the test, in two pieces.
    const Bytes msg = BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 56, Bytes(12, 0x5A));
    ASSERT_TRUE(m_emu.SendRaw(0, msg, 5, 1ms));
    EXPECT_EQ(msg, c.Read(msg.size()));
    ASSERT_TRUE(m_emu.SendPacket(0, 100, {7}));
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 100, {7}), c.Read(12));
    EXPECT_EQ(4u, m_emu.Packets(0).size());
}

TEST_F(EmulatorTest, ResetAfterPacketsAndCloseAfterLogin)
{
    m_emu.SetResetAfterPackets(2);
    TestClient a(m_emu.Port());
    ASSERT_TRUE(a.Connected());
    ASSERT_TRUE(a.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_EQ(12u, a.Read(12).size());
    ASSERT_TRUE(a.Send(BuildPacket(kZeroId, 33, {})));
    EXPECT_TRUE(a.Read(1).empty());
    EXPECT_EQ(-ECONNRESET, a.LastRecv());
    ASSERT_TRUE(m_emu.WaitFor([&] { return !m_emu.Connection(0)->open; }, 3000ms));

    m_emu.SetResetAfterPackets(0);
    m_emu.SetCloseAfterLogin(true);
    TestClient b(m_emu.Port());
    ASSERT_TRUE(b.Connected());
    ASSERT_TRUE(b.Send(BuildPacket(kZeroId, 49, {})));
    EXPECT_EQ(12u, b.Read(12).size());
    EXPECT_TRUE(b.Read(1).empty());
    EXPECT_EQ(0, b.LastRecv());  // orderly close
}

TEST_F(EmulatorTest, StopIsPromptWhileAReplyIsDelayed)
{
    m_emu.SetReplyDelay(60000ms);
    TestClient c(m_emu.Port());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_TRUE(m_emu.WaitFor([&] { return m_emu.Packets(0).size() == 1; }, 3000ms));
    const auto t0 = std::chrono::steady_clock::now();
    m_emu.Stop();
    // Generous bound: only a hang (the 60 s delay) fails this.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_FALSE(m_emu.Connection(0)->open);
    EXPECT_TRUE(c.Read(1).empty());
}

}  // namespace
