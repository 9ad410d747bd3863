// Linux sockets for the IPv4-only socket layer. Every call is a thin wrapper:
// no state is kept here, and a failed call reports the failure value only.
#include "platform/socket.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/event.h"

namespace kn::platform {

namespace {

sockaddr_in MakeAddress(uint32_t addressNetOrder, uint16_t portNetOrder)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addressNetOrder;
    sa.sin_port = portNetOrder;
    return sa;
}

bool SetIntOption(SocketHandle s, int level, int name, int value)
{
    if (s == kNoSocket) {
        return false;
    }
    return setsockopt(s, level, name, &value, sizeof value) == 0;
}

// poll() with a deadline that survives signal interruptions.
int PollBounded(pollfd *fds, nfds_t count, uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        const int rc = poll(fds, count, waitMs);
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
    }
}

SocketHandle OpenSocket(int type)
{
    const int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    return s < 0 ? kNoSocket : s;
}

}  // namespace

// Nothing to start or stop on Linux.
bool SocketLayerStart() { return true; }
void SocketLayerStop() {}

bool ResolveIPv4(const char *host, uint32_t &addressNetOrder)
{
    if (host == nullptr || *host == '\0') {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) {
        return false;
    }
    bool found = false;
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            addressNetOrder = reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(list);
    return found;
}

SocketHandle OpenTcpSocket() { return OpenSocket(SOCK_STREAM); }
SocketHandle OpenUdpSocket() { return OpenSocket(SOCK_DGRAM); }

void CloseSocket(SocketHandle s)
{
    if (s != kNoSocket) {
        close(s);  // no retry on EINTR: the descriptor is released either way on Linux
    }
}

void ShutdownReceive(SocketHandle s)
{
    if (s != kNoSocket) {
        // On Linux this sends nothing: the peer learns of the end only from
        // the reset of the close that follows.
        shutdown(s, SHUT_RD);
    }
}

bool SetReceiveTimeout(SocketHandle s, uint32_t ms)
{
    if (s == kNoSocket) {
        return false;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool SetKeepAlive(SocketHandle s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0); }

bool SetAbortiveClose(SocketHandle s)
{
    if (s == kNoSocket) {
        return false;
    }
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    return setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0;
}

bool SetNoDelay(SocketHandle s, bool on) { return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

bool SetReceiveBuffer(SocketHandle s, int bytes) { return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes); }

bool SetReuseAddress(SocketHandle s) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

bool SetNonBlocking(SocketHandle s, bool on)
{
    if (s == kNoSocket) {
        return false;
    }
    const int flags = fcntl(s, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(s, F_SETFL, wanted) == 0;
}

bool BindAny(SocketHandle s, uint16_t port) { return BindAnyNetPort(s, htons(port)); }

bool BindAnyNetPort(SocketHandle s, uint16_t portNetOrder)
{
    if (s == kNoSocket) {
        return false;
    }
    const sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), portNetOrder);
    return bind(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
}

uint16_t LocalPort(SocketHandle s)
{
    if (s == kNoSocket) {
        return 0;
    }
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

void StartConnect(SocketHandle s, uint32_t addressNetOrder, uint16_t port)
{
    if (s == kNoSocket) {
        return;
    }
    const sockaddr_in sa = MakeAddress(addressNetOrder, htons(port));
    // EINPROGRESS is the normal answer; an immediate failure shows up as a
    // missing peer in NoPendingError.
    (void)connect(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
}

bool WaitWritable(SocketHandle s, uint32_t timeoutMs)
{
    if (s == kNoSocket) {
        return false;
    }
    pollfd pfd{s, POLLOUT, 0};
    if (PollBounded(&pfd, 1, timeoutMs) <= 0) {
        return false;
    }
    // A failed connect reports error or hang-up instead of (or with) POLLOUT;
    // it counts as finished, and NoPendingError tells the outcome.
    return (pfd.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

bool NoPendingError(SocketHandle s)
{
    if (s == kNoSocket) {
        return false;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        return false;
    }
    // A connect that failed at once has already delivered its error; only a
    // socket with a peer address is really connected.
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    return getpeername(s, reinterpret_cast<sockaddr *>(&peer), &peerLen) == 0;
}

Readiness WaitReadable(SocketHandle s, CEvent *wake, uint32_t timeoutMs)
{
    if (s == kNoSocket) {
        return Readiness::Failed;
    }
    pollfd fds[2] = {{s, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    if (wake != nullptr && wake->NativeHandle() >= 0) {
        fds[1].fd = wake->NativeHandle();
        count = 2;
    }
    const int rc = PollBounded(fds, count, timeoutMs);
    if (rc < 0) {
        return Readiness::Failed;
    }
    if (rc == 0) {
        return Readiness::TimedOut;
    }
    // The event is not consumed here: its owner clears it.
    if (count == 2 && (fds[1].revents & POLLIN) != 0) {
        return Readiness::Woken;
    }
    if ((fds[0].revents & POLLNVAL) != 0) {
        return Readiness::Failed;
    }
    // Errors and hang-ups are readable: the receive reports them.
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        return Readiness::Readable;
    }
    return Readiness::Failed;
}

long Receive(SocketHandle s, void *buf, size_t len)
{
    if (s == kNoSocket || buf == nullptr) {
        return -1;
    }
    return static_cast<long>(recv(s, buf, len, 0));
}

long ReceiveNoWait(SocketHandle s, void *buf, size_t len, bool &wouldBlock)
{
    wouldBlock = false;
    if (s == kNoSocket || buf == nullptr) {
        return -1;
    }
    const ssize_t n = recv(s, buf, len, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        wouldBlock = true;
    }
    return static_cast<long>(n);
}

long ReceiveDatagramNoWait(SocketHandle s, void *buf, size_t len, bool &wouldBlock, bool &truncated)
{
    wouldBlock = false;
    truncated = false;
    if (s == kNoSocket || buf == nullptr) {
        return -1;
    }
    // MSG_TRUNC: the datagram's own length, even when the buffer took less.
    const ssize_t n = recv(s, buf, len, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        wouldBlock = true;
    }
    if (n > 0 && static_cast<size_t>(n) > len) {
        truncated = true;
        return static_cast<long>(len);
    }
    return static_cast<long>(n);
}

long Send(SocketHandle s, const void *buf, size_t len)
{
    if (s == kNoSocket || (buf == nullptr && len != 0)) {
        return -1;
    }
    // A peer that has gone must never raise SIGPIPE in the host's process.
    return static_cast<long>(send(s, buf, len, MSG_NOSIGNAL));
}

long SendNoWait(SocketHandle s, const void *buf, size_t len, bool &wouldBlock)
{
    wouldBlock = false;
    if (s == kNoSocket || (buf == nullptr && len != 0)) {
        return -1;
    }
    for (;;) {
        const ssize_t n = send(s, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wouldBlock = true;
        }
        return static_cast<long>(n);
    }
}

bool SetMulticastTtl(SocketHandle s, int ttl) { return SetIntOption(s, IPPROTO_IP, IP_MULTICAST_TTL, ttl); }

bool SetMulticastLoop(SocketHandle s, bool on) { return SetIntOption(s, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0); }

bool AddMembership(SocketHandle s, uint32_t groupNetOrder, uint32_t interfaceNetOrder)
{
    if (s == kNoSocket) {
        return false;
    }
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = groupNetOrder;
    mreq.imr_interface.s_addr = interfaceNetOrder;
    return setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
}

}  // namespace kn::platform
