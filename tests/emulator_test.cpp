// Checks the recorder emulator itself, with plain sockets, so that library
// tests can trust what it records and sends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/testing/emulator/recorder_emulator.h"

namespace {

using namespace kn::emu;
using namespace std::chrono_literals;

// A plain client socket with bounded reads.
class TestClient {
public:
    TestClient(uint16_t port, int type = SOCK_STREAM)
    {
        m_hFd = ::socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        m_bConnected = m_hFd >= 0 && ::connect(m_hFd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~TestClient()
    {
        if (m_hFd >= 0) {
            ::close(m_hFd);
        }
    }
    bool Connected() const { return m_bConnected; }
    int Fd() const { return m_hFd; }
    uint16_t LocalPort() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(m_hFd, reinterpret_cast<sockaddr *>(&a), &len);
        return ntohs(a.sin_port);
    }
    bool Send(const Bytes &b)
    {
        return ::send(m_hFd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // Exactly n bytes (TCP) within the timeout; fewer on time-out or close.
    Bytes Read(size_t n, std::chrono::milliseconds timeout = 3000ms)
    {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{m_hFd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            uint8_t buf[4096];
            const ssize_t r = ::recv(m_hFd, buf, std::min(sizeof buf, n - out.size()), 0);
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
        pollfd p{m_hFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return {};
        }
        uint8_t buf[65536];
        const ssize_t r = ::recv(m_hFd, buf, sizeof buf, 0);
        return r > 0 ? Bytes(buf, buf + r) : Bytes{};
    }
    int LastRecv() const { return m_nLastRecv; }

private:
    int m_hFd = -1;
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
    void SetUp() override { ASSERT_TRUE(m_Emu.Start()); }
    CRecorderEmulator m_Emu;
};

TEST_F(EmulatorTest, LoginAnsweredWithChosenIdAndResult)
{
    m_Emu.SetSessionId({0x11, 0x22, 0x33, 0x44});
    m_Emu.SetLoginResult(0x85, 3);
    TestClient c(m_Emu.Port());
    ASSERT_TRUE(c.Connected());
    const Bytes login = BuildPacket(kZeroId, 49, {1, 'a', 1, 'b'});
    ASSERT_TRUE(c.Send(login));

    const Bytes expected{'S', 'D', 'V', 'R', 0x11, 0x22, 0x33, 0x44, 4, 0, 51, 0x85, 0, 0};
    EXPECT_EQ(expected, c.Read(expected.size()));

    const int conn = m_Emu.FindConnection(ChannelKind::Command);
    ASSERT_EQ(0, conn);
    const auto packets = m_Emu.Packets(conn);
    ASSERT_EQ(1u, packets.size());
    EXPECT_EQ(login, packets[0].raw);
    EXPECT_EQ(49, packets[0].code);
    EXPECT_EQ((Bytes{1, 'a', 1, 'b'}), packets[0].payload);
}

TEST_F(EmulatorTest, PacketsParsedAcrossSplitsAndJunkSkipped)
{
    TestClient c(m_Emu.Port());
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
    ASSERT_TRUE(m_Emu.WaitFor([&] { return m_Emu.Packets(conn).size() == 3; }, 3000ms));
    const auto packets = m_Emu.Packets(conn);
    EXPECT_EQ(keepAlive, packets[0].raw);
    EXPECT_EQ(login, packets[1].raw);
    EXPECT_EQ(param, packets[2].raw);
    EXPECT_EQ((Id4{1, 2, 3, 4}), packets[2].sessionId);
    EXPECT_LE(packets[0].at, packets[2].at);
    const auto info = m_Emu.Connection(conn);
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
    TestClient c(m_Emu.Port());
    ASSERT_TRUE(c.Connected());
    // Length 0 (no code byte) is skipped; a complete packet behind it is read.
    const Bytes bad{'S', 'D', 'V', 'R', 0, 0, 0, 0, 0, 0};
    const Bytes good = BuildPacket(kZeroId, 49, {});
    ASSERT_TRUE(c.Send(Cat(bad, good)));
    ASSERT_TRUE(m_Emu.WaitFor([&] { return m_Emu.Packets(0).size() == 1; }, 3000ms));
    EXPECT_EQ(good, m_Emu.Packets(0)[0].raw);
    EXPECT_EQ(bad.size(), m_Emu.Connection(0)->skippedBytes);
}

TEST_F(EmulatorTest, SearchAnswerLayoutCountAndSilentDays)
{
    m_Emu.SetRecordings(2009, 3, 4, {{9, 0, 0, 10, 0, 0, 0x01020304}, {12, 0, 1, 13, 30, 59, 7}});
    m_Emu.SetSearchSilentDate(2009, 3, 5);
    TestClient c(m_Emu.Port());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_EQ(12u, c.Read(12).size());

    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 69, {9, 3, 4, 1, 0})));
    const Bytes expected = BuildPacket(
        {0x0A, 0x0B, 0x0C, 0x0D}, 71, {2, 0, 0, 0, 0, 9, 0, 0, 10, 0, 0, 4, 3, 2, 1, 12, 0, 1, 13, 30, 59, 7, 0, 0, 0});
    EXPECT_EQ(expected, c.Read(expected.size()));

    // The silent day gets nothing: the next reply on the wire is the
    // parameter reply sent after it.
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 69, {9, 3, 5, 1, 0})));
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 33, {})));
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 34, {}), c.Read(11));

    // A lying count, and an empty day, through the handler.
    m_Emu.SetSearchHandler([](const SearchQuery &q) {
        SearchAnswer a;
        a.count = q.day == 6 ? 200 : -1;
        a.records.push_back({1, 2, 3, 4, 5, 6, static_cast<uint32_t>(q.channel * 1000 + q.selector)});
        return a;
    });
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 69, {10, 1, 6, 2, 5})));
    const Bytes lying =
        BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 71, {200, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 0xD5, 0x07, 0, 0});
    EXPECT_EQ(lying, c.Read(lying.size()));
}

TEST_F(EmulatorTest, ParamRepliesIgnoredCodesAndLateSends)
{
    m_Emu.SetParamReply(163, {1, 2, 3});
    m_Emu.SetIgnored(100, true);
    TestClient c(m_Emu.Port());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_EQ(12u, c.Read(12).size());

    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 100, {})));  // ignored
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 200, {})));  // not in the table
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 163, {})));
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 166, {1, 2, 3}), c.Read(14));

    // A recorder message pushed by the test, in two pieces.
    const Bytes msg = BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 56, Bytes(12, 0x5A));
    ASSERT_TRUE(m_Emu.SendRaw(0, msg, 5, 1ms));
    EXPECT_EQ(msg, c.Read(msg.size()));
    ASSERT_TRUE(m_Emu.SendPacket(0, 100, {7}));
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 100, {7}), c.Read(12));
    EXPECT_EQ(4u, m_Emu.Packets(0).size());
}

TEST_F(EmulatorTest, ResetAfterPacketsAndCloseAfterLogin)
{
    m_Emu.SetResetAfterPackets(2);
    TestClient a(m_Emu.Port());
    ASSERT_TRUE(a.Connected());
    ASSERT_TRUE(a.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_EQ(12u, a.Read(12).size());
    ASSERT_TRUE(a.Send(BuildPacket(kZeroId, 33, {})));
    EXPECT_TRUE(a.Read(1).empty());
    EXPECT_EQ(-ECONNRESET, a.LastRecv());
    ASSERT_TRUE(m_Emu.WaitFor([&] { return !m_Emu.Connection(0)->open; }, 3000ms));

    m_Emu.SetResetAfterPackets(0);
    m_Emu.SetCloseAfterLogin(true);
    TestClient b(m_Emu.Port());
    ASSERT_TRUE(b.Connected());
    ASSERT_TRUE(b.Send(BuildPacket(kZeroId, 49, {})));
    EXPECT_EQ(12u, b.Read(12).size());
    EXPECT_TRUE(b.Read(1).empty());
    EXPECT_EQ(0, b.LastRecv());  // orderly close
}

TEST_F(EmulatorTest, StopIsPromptWhileAReplyIsDelayed)
{
    m_Emu.SetReplyDelay(60000ms);
    TestClient c(m_Emu.Port());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.Send(BuildPacket(kZeroId, 49, {})));
    ASSERT_TRUE(m_Emu.WaitFor([&] { return m_Emu.Packets(0).size() == 1; }, 3000ms));
    const auto t0 = std::chrono::steady_clock::now();
    m_Emu.Stop();
    // Generous bound: only a hang (the 60 s delay) fails this.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_FALSE(m_Emu.Connection(0)->open);
    EXPECT_TRUE(c.Read(1).empty());
}

TEST_F(EmulatorTest, MediaOpeningsGetTheirControlReplies)
{
    m_Emu.SetLiveAnnounce({239, 1, 2, 3}, 0x1F90);
    m_Emu.SetStreamId({0xA1, 0xB2, 0xC3, 0xD4});
    const Id4 id{0x0A, 0x0B, 0x0C, 0x0D};

    TestClient live(m_Emu.Port());
    ASSERT_TRUE(live.Send(BuildPacket(id, 57, {3, 0})));
    const Bytes semicolon{'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 8, 0, ';', 0, 239, 1, 2, 3, 0x1F, 0x90};
    EXPECT_EQ(semicolon, live.Read(semicolon.size()));

    TestClient playback(m_Emu.Port());
    ASSERT_TRUE(playback.Send(BuildPacket(id, 73, {9, 3, 4, 1, 10, 0, 0})));
    EXPECT_EQ(BuildPacket(id, 'K', {0xA1, 0xB2, 0xC3, 0xD4}), playback.Read(15));

    TestClient download(m_Emu.Port());
    ASSERT_TRUE(download.Send(BuildPacket(id, 81, Bytes(170, 0))));
    EXPECT_EQ(BuildPacket(id, 'S'), download.Read(11));

    // Media pushed over TCP arrives as the same byte stream, whatever the writes.
    const Bytes frames = Cat(BuildFrame(2, Bytes(300, 0x42)), BuildFrame(1, {1, 2, 3, 4}));
    MediaOptions split;
    split.pieces = {1, 3, 100};
    ASSERT_TRUE(m_Emu.SendMedia(0, frames, split));
    EXPECT_EQ(frames, live.Read(frames.size()));

    EXPECT_EQ(ChannelKind::Live, m_Emu.Connection(0)->kind);
    EXPECT_EQ(ChannelKind::Playback, m_Emu.Connection(1)->kind);
    EXPECT_EQ(ChannelKind::Download, m_Emu.Connection(2)->kind);
    EXPECT_EQ(Bytes(170, 0), m_Emu.Packets(2)[0].payload);
}

TEST_F(EmulatorTest, TalkAudioCountedAndRefusalKnob)
{
    const Id4 id{0x0A, 0x0B, 0x0C, 0x0D};
    TestClient talk(m_Emu.Port());
    // Audio sharing a write with the opening is audio too, even if it looks
    // like a packet.
    const Bytes audio1 = BuildPacket(id, 49, {1, 2});
    ASSERT_TRUE(talk.Send(Cat(BuildPacket(id, 35), audio1)));
    EXPECT_EQ(BuildPacket(id, '%'), talk.Read(11));
    ASSERT_TRUE(talk.Send(Bytes(1000, 0x7F)));
    ASSERT_TRUE(m_Emu.WaitFor([&] { return m_Emu.Connection(0)->audioBytes == audio1.size() + 1000; }, 3000ms));
    EXPECT_EQ(Cat(audio1, Bytes(1000, 0x7F)), m_Emu.TalkAudio(0));
    EXPECT_EQ(1u, m_Emu.Packets(0).size());

    m_Emu.SetTalkAccepted(false);
    TestClient refused(m_Emu.Port());
    ASSERT_TRUE(refused.Send(BuildPacket(id, 35)));
    EXPECT_EQ(BuildPacket(id, '&'), refused.Read(11));

    TestClient stop(m_Emu.Port());
    ASSERT_TRUE(stop.Send(BuildPacket(id, 36)));
    EXPECT_EQ(2, m_Emu.WaitForConnection(ChannelKind::StopTalk, 3000ms));
}

TEST_F(EmulatorTest, SilentMediaKindThenResetOnCommand)
{
    m_Emu.SetMediaSilent(ChannelKind::Download, true);
    m_Emu.SetMediaReplyCode(ChannelKind::Playback, 'X');
    TestClient download(m_Emu.Port());
    ASSERT_TRUE(download.Send(BuildPacket(kZeroId, 81, Bytes(170, 0))));
    const int conn = m_Emu.WaitForConnection(ChannelKind::Download, 3000ms);
    ASSERT_EQ(0, conn);
    ASSERT_TRUE(m_Emu.CloseConnection(conn, true));
    EXPECT_TRUE(download.Read(1).empty());  // no reply came before the reset
    EXPECT_EQ(-ECONNRESET, download.LastRecv());
    EXPECT_FALSE(m_Emu.SendMedia(conn, {1, 2, 3}));

    TestClient playback(m_Emu.Port());
    ASSERT_TRUE(playback.Send(BuildPacket(kZeroId, 73, Bytes(7, 0))));
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 'X', {0x11, 0x22, 0x33, 0x44}), playback.Read(15));
}

// A write returns once the socket took the bytes; WaitUntilSent says when
// they have all left it, which a client that does not read holds up.
TEST_F(EmulatorTest, WaitUntilSentWaitsForTheClientToTakeTheBytes)
{
    m_Emu.SetMediaSilent(ChannelKind::Download, true);
    TestClient download(m_Emu.Port());
    ASSERT_TRUE(download.Send(BuildPacket(kZeroId, 81, Bytes(170, 0))));
    const int conn = m_Emu.WaitForConnection(ChannelKind::Download, 3000ms);
    ASSERT_EQ(0, conn);
    EXPECT_TRUE(m_Emu.WaitUntilSent(conn, 3000));  // nothing written yet
    const Bytes media(1 << 20, 0x5A);
    ASSERT_TRUE(m_Emu.SendMedia(conn, media));
    EXPECT_FALSE(m_Emu.WaitUntilSent(conn, 100));  // the client reads nothing
    EXPECT_EQ(media.size(), download.Read(media.size(), 10000ms).size());
    EXPECT_TRUE(m_Emu.WaitUntilSent(conn, 3000));
}

TEST_F(EmulatorTest, UdpLiveExchangeWithPrefixedDatagrams)
{
    TestClient udp(m_Emu.Port(), SOCK_DGRAM);
    ASSERT_TRUE(udp.Connected());
    const Bytes open = BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 57, {5, 0});
    ASSERT_TRUE(udp.Send(open));
    const Bytes reply = udp.ReadDatagram();
    EXPECT_EQ(BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, ';', {0, 0, 0, 0, 0, 0, 0}), reply);

    const int conn = m_Emu.FindConnection(ChannelKind::Live);
    ASSERT_EQ(0, conn);
    EXPECT_EQ(Transport::Udp, m_Emu.Connection(conn)->transport);
    EXPECT_EQ(udp.LocalPort(), m_Emu.Connection(conn)->peerPort);
    EXPECT_EQ(open, m_Emu.Packets(conn)[0].raw);

    // 10 stream bytes in stretches of 3: sequence 0xFFFE, 0xFFFF (dropped),
    // 0 (sent twice), 1.
    Bytes stream;
    for (uint8_t i = 0; i < 10; ++i) {
        stream.push_back(i);
    }
    m_Emu.SetNextSequence(conn, 0xFFFE);
    MediaOptions o;
    o.pieces = {3};
    o.drop = {1};
    o.repeat = {2};
    ASSERT_TRUE(m_Emu.SendMedia(conn, stream, o));
    EXPECT_EQ((Bytes{0, 0, 0xFE, 0xFF, 0, 1, 2}), udp.ReadDatagram());
    EXPECT_EQ((Bytes{0, 0, 0, 0, 6, 7, 8}), udp.ReadDatagram());
    EXPECT_EQ((Bytes{0, 0, 0, 0, 6, 7, 8}), udp.ReadDatagram());
    EXPECT_EQ((Bytes{0, 0, 1, 0, 9}), udp.ReadDatagram());
    ASSERT_TRUE(m_Emu.SendDatagram(conn, 0x1234, {}));
    EXPECT_EQ((Bytes{0, 0, 0x34, 0x12}), udp.ReadDatagram());

    // A second live opening from the same address is answered again, on the
    // same connection record.
    ASSERT_TRUE(udp.Send(open));
    EXPECT_EQ(reply, udp.ReadDatagram());
    EXPECT_EQ(2u, m_Emu.Packets(conn).size());
}

// Multicast in a network namespace of the test's own, in a child process.
TEST(EmulatorMulticast, DatagramReachesAGroupMemberOnLoopback)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::unshare(CLONE_NEWNET) != 0) {
            ::_exit(77);
        }
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        ::ioctl(s, SIOCGIFFLAGS, &ifr);
        ifr.ifr_flags |= IFF_UP;
        if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) {
            ::_exit(77);
        }
        rtentry rt{};
        auto *dst = reinterpret_cast<sockaddr_in *>(&rt.rt_dst);
        dst->sin_family = AF_INET;
        dst->sin_addr.s_addr = htonl(0xE0000000);
        auto *mask = reinterpret_cast<sockaddr_in *>(&rt.rt_genmask);
        mask->sin_family = AF_INET;
        mask->sin_addr.s_addr = htonl(0xF0000000);
        char dev[] = "lo";
        rt.rt_dev = dev;
        rt.rt_flags = RTF_UP;
        if (::ioctl(s, SIOCADDRT, &rt) != 0) {
            ::_exit(77);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(8123);
        ip_mreq m{};
        m.imr_multiaddr.s_addr = htonl(0xEF010203);
        m.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
            ::_exit(2);
        }
        CRecorderEmulator emu;  // not started: multicast needs no listener
        const Bytes d = BuildDatagram(7, Bytes{1, 2, 3}.data(), 3);
        if (!emu.SendMulticast({239, 1, 2, 3}, 8123, d)) {
            ::_exit(3);
        }
        pollfd p{s, POLLIN, 0};
        uint8_t buf[64];
        if (::poll(&p, 1, 3000) != 1 || ::recv(s, buf, sizeof buf, 0) != static_cast<ssize_t>(d.size()) ||
            std::memcmp(buf, d.data(), d.size()) != 0) {
            ::_exit(4);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no network namespace of our own";
    }
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
