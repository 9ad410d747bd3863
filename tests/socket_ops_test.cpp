#include "net/socket_ops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include "core/release.h"
#include "net/command_packet.h"
#include "net/requests.h"
#include "net/socket_slot.h"
#include "platform/settings_file.h"
#include "tests/support/net_namespace.h"
#include "tests/support/socket_peer.h"
#include "tests/support/tcp_listener.h"

namespace kn::net {
namespace {

using platform::kNoSocket;
using platform::SocketHandle;
using Clock = std::chrono::steady_clock;

int IntOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t len = sizeof value;
    return getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A TCP socket from CreateTcpSocket connected to the listener, and the peer end.
struct Connected {
    SocketHandle client = kNoSocket;
    int peer = -1;
    ~Connected()
    {
        platform::CloseSocket(client);
        if (peer >= 0)
            close(peer);
    }
};

void ConnectTo(test::CTcpListener &listener, Connected &c)
{
    ASSERT_TRUE(listener.Ok());
    c.client = CreateTcpSocket();
    ASSERT_NE(c.client, kNoSocket);
    ASSERT_TRUE(ConnectWithTimeout(c.client, test::LoopbackNetOrder(), listener.Port()));
    c.peer = listener.Accept();
    ASSERT_GE(c.peer, 0);
}

TEST(SocketOps, TcpSocketOptions)
{
    const SocketHandle s = CreateTcpSocket();
    ASSERT_NE(s, kNoSocket);
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 200000);
    EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_KEEPALIVE), 0);
    linger lg{};
    len = sizeof lg;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
    EXPECT_NE(lg.l_onoff, 0);
    EXPECT_EQ(lg.l_linger, 0);
    EXPECT_NE(IntOption(s, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(fcntl(s, F_GETFD) & FD_CLOEXEC, 0);
    platform::CloseSocket(s);
}

TEST(SocketOps, ConnectToClosedPortFails)
{
    test::CTcpListener bound(false);  // holds the port, accepts nothing
    ASSERT_TRUE(bound.Ok());
    const SocketHandle s = CreateTcpSocket();
    ASSERT_NE(s, kNoSocket);
    const auto start = Clock::now();
    EXPECT_FALSE(ConnectWithTimeout(s, test::LoopbackNetOrder(), bound.Port()));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    platform::CloseSocket(s);
}

TEST(SocketOps, BlockingAgainAfterConnect)
{
    test::CTcpListener listener;
    Connected c;
    ConnectTo(listener, c);
    EXPECT_EQ(fcntl(c.client, F_GETFL) & O_NONBLOCK, 0);
}

TEST(SocketOps, CloseResetsThePeer)
{
    test::CTcpListener listener;
    Connected c;
    ConnectTo(listener, c);
    platform::CloseSocket(c.client);
    c.client = kNoSocket;
    pollfd pfd{c.peer, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    char buf[16];
    errno = 0;
    EXPECT_EQ(recv(c.peer, buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
}

// A peer that delays its acknowledgements must still get a command sent right
// before the abortive close: nothing may wait behind an unacknowledged packet.
TEST(SocketOps, CommandsBeforeCloseReachADelayedAckPeer)
{
    test::CTcpListener listener;
    Connected c;
    ConnectTo(listener, c);
    const int off = 0;
    ASSERT_EQ(setsockopt(c.peer, IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off), 0);

    const SessionId id = {1, 2, 3, 4};
    const CRequest keepAlive = KeepAliveRequest(id, 0);
    const CRequest logout = LogoutRequest(id);
    ASSERT_EQ(static_cast<long>(keepAlive.size()), platform::Send(c.client, keepAlive.data(), keepAlive.size()));
    ASSERT_EQ(static_cast<long>(logout.size()), platform::Send(c.client, logout.data(), logout.size()));
    platform::CloseSocket(c.client);
    c.client = kNoSocket;

    std::vector<uint8_t> got;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (got.size() < 36 && Clock::now() < deadline) {
        pollfd pfd{c.peer, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        uint8_t buf[64];
        const ssize_t n = recv(c.peer, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + n);
        setsockopt(c.peer, IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
    }
    ASSERT_EQ(got.size(), 36u);
    EXPECT_EQ(got[10], 56);
    EXPECT_EQ(got[25 + 10], 53);
}

TEST(SocketOps, OpenConnectedSocketBindsFromTheCounter)
{
    test::CTcpListener listener;
    ASSERT_TRUE(listener.Ok());
    const SocketHandle s = OpenConnectedSocket(Transport::Tcp, test::LoopbackNetOrder(), listener.Port());
    ASSERT_NE(s, kNoSocket);
    const uint16_t first = platform::LocalPort(s);
    // Release 1.0.0.1 never touches the settings store.
    EXPECT_EQ(kRelease1001 ? -1 : first, platform::ReadSettingInt("Settings", "BindPort", -1));
    EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    platform::CloseSocket(s);

    const SocketHandle u = OpenConnectedSocket(Transport::Udp, test::LoopbackNetOrder(), listener.Port());
    ASSERT_NE(u, kNoSocket);
    const uint16_t second = platform::LocalPort(u);
    EXPECT_EQ(kRelease1001 ? -1 : second, platform::ReadSettingInt("Settings", "BindPort", -1));
    if (kRelease1001) {
        EXPECT_EQ(first, second);  // the port just freed is tried first again
    }
    platform::CloseSocket(u);
}

TEST(SocketOps, OpenConnectedSocketFailureLeavesNothingOpen)
{
    test::CTcpListener bound(false);
    ASSERT_TRUE(bound.Ok());
    const int probe = dup(0);  // the lowest free descriptor number
    ASSERT_GE(probe, 0);
    close(probe);
    EXPECT_EQ(OpenConnectedSocket(Transport::Tcp, test::LoopbackNetOrder(), bound.Port()), kNoSocket);
    EXPECT_FALSE(IsOpen(probe));
}

TEST(SocketOps, WaitReadableWithoutEvent)
{
    test::SocketPair pair;
    ASSERT_GE(pair.near, 0);
    EXPECT_EQ(platform::WaitReadable(pair.near, nullptr, 10), platform::Readiness::TimedOut);
    ASSERT_EQ(write(pair.far, "x", 1), 1);
    EXPECT_EQ(platform::WaitReadable(pair.near, nullptr, 5000), platform::Readiness::Readable);
    EXPECT_EQ(platform::WaitReadable(kNoSocket, nullptr, 10), platform::Readiness::Failed);
}

TEST(SocketOps, ResolveIPv4)
{
    uint32_t address = 0;
    ASSERT_TRUE(platform::ResolveIPv4("127.0.0.1", address));
    EXPECT_EQ(address, test::LoopbackNetOrder());
    EXPECT_FALSE(platform::ResolveIPv4("", address));
    EXPECT_FALSE(platform::ResolveIPv4(nullptr, address));
    EXPECT_FALSE(platform::ResolveIPv4("999.1.1.1.invalid.", address));
}

TEST(SocketSlot, CloseWaitsForTheLastLease)
{
    test::SocketPair pair;
    ASSERT_GE(pair.near, 0);
    const int fd = pair.near;
    pair.near = -1;  // the slot owns it now
    CSocketSlot slot;
    slot.Install(fd);
    EXPECT_TRUE(slot.Has());
    EXPECT_EQ(slot.Peek(), fd);
    {
        CSocketSlot::Lease lease = slot.Acquire();
        ASSERT_TRUE(lease);
        EXPECT_EQ(lease.get(), fd);
        slot.Close();
        EXPECT_FALSE(slot.Has());
        EXPECT_EQ(slot.Peek(), kNoSocket);
        EXPECT_FALSE(slot.Acquire());
        EXPECT_TRUE(IsOpen(fd));
        // The lease's socket is closing, so a send through it returns at
        // once; its reception was ended without telling the peer.
        EXPECT_EQ(lease.Send("x", 1, 5000), kn::net::SendResult::Failed);
        char byte = 0;
        EXPECT_EQ(platform::Receive(lease.get(), &byte, 1), 0);
    }
    EXPECT_FALSE(IsOpen(fd));
}

TEST(SocketSlot, InstallReplacesAndClosesWithoutLeases)
{
    test::SocketPair first;
    test::SocketPair second;
    const int a = std::exchange(first.near, -1);
    const int b = std::exchange(second.near, -1);
    {
        CSocketSlot slot;
        slot.Install(a);
        slot.Install(b);
        EXPECT_FALSE(IsOpen(a));
        EXPECT_EQ(slot.Acquire().get(), b);
    }
    EXPECT_FALSE(IsOpen(b));
}

// Senders race Install and Close. A send must never reach a descriptor the
// slot gave up: intruder sockets that may get a recycled number must stay
// silent.
TEST(SocketSlot, SendRaceAgainstCloseAndInstall)
{
    CSocketSlot slot;
    std::atomic<bool> run{true};
    std::atomic<int> misdirected{0};
    std::atomic<long> sent{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            while (run.load()) {
                const CSocketSlot::Lease lease = slot.Acquire();
                if (lease && platform::Send(lease.get(), "slot", 4) == 4) {
                    sent.fetch_add(1);
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (run.load()) {
            test::SocketPair intruder;
            if (intruder.near < 0) {
                continue;
            }
            char buf[8];
            if (recv(intruder.far, buf, sizeof buf, MSG_DONTWAIT) > 0 ||
                recv(intruder.near, buf, sizeof buf, MSG_DONTWAIT) > 0) {
                misdirected.fetch_add(1);
            }
        }
    });
    std::vector<int> farEnds;
    for (int round = 0; round < 2000; ++round) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_TRUE(platform::SetNonBlocking(fds[0], true));  // a full peer never blocks a sender
        slot.Install(fds[0]);
        farEnds.push_back(fds[1]);
        if (round % 3 == 0) {
            slot.Close();
        }
        if (farEnds.size() > 64) {
            close(farEnds.front());
            farEnds.erase(farEnds.begin());
        }
    }
    run.store(false);
    for (auto &t : threads) {
        t.join();
    }
    slot.Close();
    for (int fd : farEnds) {
        close(fd);
    }
    EXPECT_EQ(misdirected.load(), 0);
    EXPECT_GT(sent.load(), 0);
}

TEST(MulticastSocket, RebindMovesTheSlotToThePort)
{
    test::CTcpListener probe;  // any port number the system hands out
    ASSERT_TRUE(probe.Ok());
    CSocketSlot slot;
    slot.Install(CreateUdpSocket());
    const int old = slot.Peek();
    ASSERT_TRUE(RebindMulticastSocket(slot, htons(probe.Port())));
    ASSERT_TRUE(slot.Has());
    EXPECT_EQ(platform::LocalPort(slot.Peek()), probe.Port());
    EXPECT_GE(IntOption(slot.Peek(), SOL_SOCKET, SO_RCVBUF), 98304);
    if (slot.Peek() != old) {
        EXPECT_FALSE(IsOpen(old));
    }
}

TEST(MulticastSocket, RebindToABusyPortKeepsTheNewSocket)
{
    const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    ASSERT_TRUE(platform::BindAny(holder, 0));
    const uint16_t port = platform::LocalPort(holder);
    CSocketSlot slot;
    EXPECT_FALSE(RebindMulticastSocket(slot, htons(port)));
    EXPECT_TRUE(slot.Has());
    close(holder);
}

// Several streams of this host, and other processes that allow it, watch
// one group port: each group socket shares it.
TEST(MulticastSocket, RebindSharesTheGroupPort)
{
    const int other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // another process's
    ASSERT_GE(other, 0);
    const int on = 1;
    ASSERT_EQ(0, setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
    ASSERT_TRUE(platform::BindAny(other, 0));
    const uint16_t port = platform::LocalPort(other);
    CSocketSlot first;
    CSocketSlot second;
    EXPECT_TRUE(RebindMulticastSocket(first, htons(port)));
    EXPECT_TRUE(RebindMulticastSocket(second, htons(port)));
    EXPECT_EQ(platform::LocalPort(first.Peek()), port);
    EXPECT_EQ(platform::LocalPort(second.Peek()), port);
    EXPECT_EQ(IntOption(second.Peek(), SOL_SOCKET, SO_REUSEADDR), 1);
    close(other);
}

TEST(MulticastSocket, RebindWithoutDescriptorsLeavesTheSlotEmpty)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> filler;
    rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (int fd = dup(0); fd >= 0; fd = dup(0)) {
        filler.push_back(fd);
    }
    CSocketSlot slot;
    const bool rebound = RebindMulticastSocket(slot, htons(9));
    const bool has = slot.Has();
    for (int fd : filler) {
        close(fd);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_FALSE(rebound);
    EXPECT_FALSE(has);
}

TEST(MulticastSocket, JoinedGroupReceivesInPrivateNamespace)
{
    KN_EXPECT_IN_NET_NAMESPACE([]() -> std::string {
        const uint32_t group = htonl(0xEF010203u);  // 239.1.2.3
        const uint16_t port = 47011;
        CSocketSlot slot;
        if (!RebindMulticastSocket(slot, htons(port))) {
            return "rebind failed";
        }
        if (!JoinMulticastGroup(slot.Peek(), group)) {
            return "join failed";
        }
        if (IntOption(slot.Peek(), IPPROTO_IP, IP_MULTICAST_TTL) != 8 ||
            IntOption(slot.Peek(), IPPROTO_IP, IP_MULTICAST_LOOP) != 0) {
            return "multicast options not set";
        }
        const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        if (sender < 0 || setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0 ||
            setsockopt(sender, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) != 0) {
            return "sender set-up failed";
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = group;
        to.sin_port = htons(port);
        if (sendto(sender, "frame", 5, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) != 5) {
            return std::string("sendto: ") + std::strerror(errno);
        }
        if (platform::WaitReadable(slot.Peek(), nullptr, 5000) != platform::Readiness::Readable) {
            return "nothing received from the group";
        }
        char buf[16] = {};
        const long n = platform::Receive(slot.Peek(), buf, sizeof buf);
        close(sender);
        if (n != 5 || std::string(buf, 5) != "frame") {
            return "wrong datagram";
        }
        return {};
    });
}

}  // namespace
}  // namespace kn::net
