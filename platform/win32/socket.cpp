// Windows Sockets 2.2 for the IPv4-only socket layer. Every call is a thin
// wrapper: no state is kept here, and a failed call reports the failure value
// only. Sockets stay in blocking mode between calls; the waits that must also
// watch an event select the socket's events for the length of the wait only.
#include "platform/socket.h"

#include <atomic>
#include <climits>

#include "platform/event.h"
#include "platform/win32/win32.h"

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
    return setsockopt(s, level, name, reinterpret_cast<const char *>(&value), sizeof value) == 0;
}

timeval ToTimeval(uint32_t ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

// select() on one socket: 1 ready, 0 not within timeoutMs, -1 failed.
// Exceptional readiness (a failed connect) counts as ready for writes.
int SelectOne(SocketHandle s, bool forWrite, uint32_t timeoutMs)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv = ToTimeval(timeoutMs);
    const int rc = forWrite ? select(0, nullptr, &ready, &failed, &tv) : select(0, &ready, nullptr, nullptr, &tv);
    return rc == SOCKET_ERROR ? -1 : (rc > 0 ? 1 : 0);
}

int ClampLength(size_t len) { return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len); }

// A datagram longer than the buffer fails with WSAEMSGSIZE after filling the
// buffer; like the other systems, count it as a cut receive.
long ReceiveResult(int rc, size_t len)
{
    if (rc != SOCKET_ERROR) {
        return rc;
    }
    return WSAGetLastError() == WSAEMSGSIZE ? static_cast<long>(ClampLength(len)) : -1;
}

SocketHandle OpenSocket(int type, int protocol)
{
    // Not inherited by processes the host starts; systems that do not know
    // the flag get a plain socket.
    SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    }
    return s == INVALID_SOCKET ? kNoSocket : s;
}

}  // namespace

// Starts made by the library and not yet stopped. Windows Sockets counts
// starts per process, the host's own included: a stop without a start of
// ours (a cleanup without an init, or a second cleanup) would take away the
// host's, so it is skipped.
namespace {
std::atomic<int> g_nLayerStarts{0};
}  // namespace

bool SocketLayerStart()
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        return false;
    }
    g_nLayerStarts.fetch_add(1);
    return true;
}

void SocketLayerStop()
{
    int starts = g_nLayerStarts.load();
    while (starts > 0 && !g_nLayerStarts.compare_exchange_weak(starts, starts - 1)) {
    }
    if (starts > 0) {
        WSACleanup();
    }
}

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

SocketHandle OpenTcpSocket() { return OpenSocket(SOCK_STREAM, IPPROTO_TCP); }
SocketHandle OpenUdpSocket() { return OpenSocket(SOCK_DGRAM, IPPROTO_UDP); }

void CloseSocket(SocketHandle s)
{
    if (s != kNoSocket) {
        closesocket(s);
    }
}

void ShutdownReceive(SocketHandle s)
{
    if (s != kNoSocket) {
        // Ends reception without a FIN: the peer learns of the end only from
        // the reset of the close that follows.
        shutdown(s, SD_RECEIVE);
    }
}

bool SetReceiveTimeout(SocketHandle s, uint32_t ms)
{
    if (s == kNoSocket) {
        return false;
    }
    // Windows takes the receive time-out as a DWORD of milliseconds.
    const DWORD value = ms;
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&value), sizeof value) == 0;
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
    return setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lg), sizeof lg) == 0;
}

bool SetNoDelay(SocketHandle s, bool on) { return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

bool SetReceiveBuffer(SocketHandle s, int bytes) { return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes); }

bool SetReuseAddress(SocketHandle s) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

bool SetNonBlocking(SocketHandle s, bool on)
{
    if (s == kNoSocket) {
        return false;
    }
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
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
    int len = sizeof sa;
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
    // WSAEWOULDBLOCK is the normal answer; an immediate failure shows up in
    // NoPendingError.
    (void)connect(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
}

bool WaitWritable(SocketHandle s, uint32_t timeoutMs)
{
    if (s == kNoSocket) {
        return false;
    }
    // A failed connect is reported in the exception set, not as writable; it
    // counts as finished here and NoPendingError tells the outcome, so a
    // refused connect fails at once instead of at the end of the time-out.
    return SelectOne(s, true, timeoutMs) == 1;
}

bool NoPendingError(SocketHandle s)
{
    if (s == kNoSocket) {
        return false;
    }
    int error = 0;
    int len = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) != 0 || error != 0) {
        return false;
    }
    sockaddr_in peer{};
    int peerLen = sizeof peer;
    return getpeername(s, reinterpret_cast<sockaddr *>(&peer), &peerLen) == 0;
}

Readiness WaitReadable(SocketHandle s, CEvent *wake, uint32_t timeoutMs)
{
    if (s == kNoSocket) {
        return Readiness::Failed;
    }
    const bool watchWake = wake != nullptr && wake->Valid();
    if (watchWake && wake->TryTake()) {
        wake->Set();  // the owner clears it
        return Readiness::Woken;
    }
    // Data already waiting (the common case while media flows): one call.
    const int now = SelectOne(s, false, 0);
    if (now != 0) {
        return now > 0 ? Readiness::Readable : Readiness::Failed;
    }
    if (!watchWake) {
        const int rc = SelectOne(s, false, timeoutMs);
        return rc > 0 ? Readiness::Readable : (rc == 0 ? Readiness::TimedOut : Readiness::Failed);
    }

    // Wait on the socket's read and close events together with the wake
    // event. Selecting events switches the socket to non-blocking mode, so
    // the selection is undone and blocking mode restored before returning.
    WSAEVENT ready = WSACreateEvent();
    if (ready == WSA_INVALID_EVENT) {
        return Readiness::Failed;
    }
    Readiness result = Readiness::Failed;
    if (WSAEventSelect(s, ready, FD_READ | FD_CLOSE) == 0) {
        // The wake event first: when both are set, a stop wins.
        HANDLE handles[2] = {wake->NativeHandle(), ready};
        const DWORD ms = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
        switch (WaitForMultipleObjects(2, handles, FALSE, ms)) {
        case WAIT_OBJECT_0:
            wake->Set();  // taken by the wait; the owner clears it
            result = Readiness::Woken;
            break;
        case WAIT_OBJECT_0 + 1: result = Readiness::Readable; break;
        case WAIT_TIMEOUT: result = Readiness::TimedOut; break;
        default: break;
        }
        WSAEventSelect(s, nullptr, 0);
        u_long blocking = 0;
        if (ioctlsocket(s, FIONBIO, &blocking) != 0) {
            result = Readiness::Failed;
        }
    }
    WSACloseEvent(ready);
    return result;
}

long Receive(SocketHandle s, void *buf, size_t len)
{
    if (s == kNoSocket || buf == nullptr) {
        return -1;
    }
    return ReceiveResult(recv(s, static_cast<char *>(buf), ClampLength(len), 0), len);
}

long ReceiveDatagramNoWait(SocketHandle s, void *buf, size_t len, bool &wouldBlock, bool &truncated)
{
    wouldBlock = false;
    truncated = false;
    if (s == kNoSocket || buf == nullptr) {
        return -1;
    }
    // Windows has no per-call non-blocking flag: a receive on a readable
    // socket returns at once (bytes, the peer's close, or an error).
    const int ready = SelectOne(s, false, 0);
    if (ready == 0) {
        wouldBlock = true;
        return -1;
    }
    if (ready < 0) {
        return -1;
    }
    const int rc = recv(s, static_cast<char *>(buf), ClampLength(len), 0);
    if (rc == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) {
        truncated = true;  // the buffer holds the datagram's first len bytes
        return static_cast<long>(ClampLength(len));
    }
    return rc == SOCKET_ERROR ? -1 : rc;
}

long ReceiveNoWait(SocketHandle s, void *buf, size_t len, bool &wouldBlock)
{
    bool truncated = false;  // a cut datagram still fills the buffer
    return ReceiveDatagramNoWait(s, buf, len, wouldBlock, truncated);
}

long Send(SocketHandle s, const void *buf, size_t len)
{
    if (s == kNoSocket || (buf == nullptr && len != 0)) {
        return -1;
    }
    const int rc = send(s, static_cast<const char *>(buf), ClampLength(len), 0);
    return rc == SOCKET_ERROR ? -1 : rc;
}

// WinSock has no per-call non-blocking flag, and the socket's mode is shared
// with a receive thread that may be switching it for its readiness wait. So
// room is checked first without waiting, and a blocking send is then given
// at most one slice: WinSock takes a send whole while its buffer is not
// full, so that send does not wait for the peer.
long SendNoWait(SocketHandle s, const void *buf, size_t len, bool &wouldBlock)
{
    constexpr size_t kSendSlice = 8192;
    wouldBlock = false;
    if (s == kNoSocket || (buf == nullptr && len != 0)) {
        return -1;
    }
    const int room = SelectOne(s, true, 0);
    if (room < 0) {
        return -1;
    }
    if (room == 0) {
        wouldBlock = true;
        return -1;
    }
    const int rc = send(s, static_cast<const char *>(buf), ClampLength(len < kSendSlice ? len : kSendSlice), 0);
    if (rc == SOCKET_ERROR) {
        wouldBlock = WSAGetLastError() == WSAEWOULDBLOCK;
        return -1;
    }
    return rc;
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
    return setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char *>(&mreq), sizeof mreq) == 0;
}

}  // namespace kn::platform
