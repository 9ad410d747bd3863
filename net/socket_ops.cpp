#include "net/socket_ops.h"

#include <mutex>

#include "core/release.h"
#include "net/socket_slot.h"
#include "platform/settings_file.h"

namespace kn::net {

namespace {

constexpr uint32_t kReceiveTimeoutMs = 200;
constexpr int kMulticastReceiveBuffer = 0x18000;  // 96 KiB
constexpr int kMulticastTtl = 8;

constexpr char kSettingsSection[] = "Settings";
constexpr char kBindPortName[] = "BindPort";
constexpr int32_t kDefaultBindPort = 8000;
constexpr uint16_t kFirstWalkPort = 8000;
constexpr uint16_t kLastWalkPort = 8999;
constexpr int kBindAttempts = 1000;

// Serialises the port walk from reading the counter to storing it.
std::mutex g_BindMutex;
// Release 1.0.0.1 keeps the candidate in memory only (guarded by g_BindMutex).
uint16_t g_wCandidatePort = release::kFirstCandidatePort;

uint16_t KeepInWalk(uint16_t port) { return port > kLastWalkPort ? kFirstWalkPort : port; }

// Where a walk starts. Release 1.0.0.13 continues after the persisted counter;
// release 1.0.0.1 retries the port it last bound, from memory.
uint16_t FirstCandidate()
{
    if (!release::kPersistsBindPort) {
        return g_wCandidatePort;
    }
    const int32_t stored = platform::ReadSettingInt(kSettingsSection, kBindPortName, kDefaultBindPort);
    // Only the low 16 bits of stored + 1 count (65535 -> 0: the system picks).
    return KeepInWalk(static_cast<uint16_t>(static_cast<uint32_t>(stored) + 1u));
}

void RememberBoundPort(uint16_t port)
{
    if (!release::kPersistsBindPort) {
        g_wCandidatePort = port;
        return;
    }
    (void)platform::WriteSettingInt(kSettingsSection, kBindPortName, port);
}

}  // namespace

platform::SocketHandle CreateTcpSocket()
{
    const platform::SocketHandle s = platform::OpenTcpSocket();
    if (s == platform::kNoSocket) {
        return s;
    }
    // Nagle off as well: with an abortive close, a small command held back
    // behind an unacknowledged one would be thrown away by the reset.
    if (!platform::SetReceiveTimeout(s, kReceiveTimeoutMs) || !platform::SetKeepAlive(s, false) ||
        !platform::SetAbortiveClose(s) || !platform::SetNoDelay(s, true)) {
        platform::CloseSocket(s);
        return platform::kNoSocket;
    }
    return s;
}

platform::SocketHandle CreateUdpSocket() { return platform::OpenUdpSocket(); }

bool BindLocalPort(platform::SocketHandle s)
{
    if (s == platform::kNoSocket) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_BindMutex);
    uint16_t candidate = FirstCandidate();
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        if (platform::BindAny(s, candidate)) {
            RememberBoundPort(candidate);
            return true;
        }
        candidate = KeepInWalk(static_cast<uint16_t>(candidate + 1));
    }
    return false;
}

bool ConnectWithTimeout(platform::SocketHandle s, uint32_t addressNetOrder, uint16_t port)
{
    if (!platform::SetNonBlocking(s, true)) {
        return false;
    }
    platform::StartConnect(s, addressNetOrder, port);
    // Release 1.0.0.13 gives the connect one wait of 1.5 s; release 1.0.0.1
    // up to ten waits of 1 s, each watching the socket afresh.
    bool writable = false;
    for (int i = 0; i < release::kConnectWaits && !writable; ++i) {
        writable = platform::WaitWritable(s, release::kConnectWaitMs);
    }
    // A failed connect may also show as writable: the pending error decides.
    if (!writable || !platform::NoPendingError(s)) {
        return false;
    }
    return platform::SetNonBlocking(s, false);
}

platform::SocketHandle OpenConnectedSocket(Transport t, uint32_t addressNetOrder, uint16_t port)
{
    const platform::SocketHandle s = t == Transport::Tcp ? CreateTcpSocket() : CreateUdpSocket();
    if (s == platform::kNoSocket) {
        return s;
    }
    if (!BindLocalPort(s) || !ConnectWithTimeout(s, addressNetOrder, port)) {
        platform::CloseSocket(s);
        return platform::kNoSocket;
    }
    return s;
}

bool RebindMulticastSocket(CSocketSlot &slot, uint16_t portNetOrder)
{
    slot.Close();
    const platform::SocketHandle s = CreateUdpSocket();
    if (s == platform::kNoSocket) {
        return false;
    }
    slot.Install(s);
    const platform::SocketHandle installed = slot.Peek();
    if (installed == platform::kNoSocket) {
        return false;
    }
    (void)platform::SetReceiveBuffer(installed, kMulticastReceiveBuffer);
    // The group's port is shared: another stream of this host, or another
    // host process watching the same channel, may be bound to it already.
    (void)platform::SetReuseAddress(installed);
    return platform::BindAnyNetPort(installed, portNetOrder);
}

bool JoinMulticastGroup(platform::SocketHandle s, uint32_t groupNetOrder)
{
    // Failures are silent: the channel then simply receives nothing.
    (void)platform::SetMulticastTtl(s, kMulticastTtl);
    (void)platform::SetMulticastLoop(s, false);
    (void)platform::AddMembership(s, groupNetOrder, 0);
    return true;
}

}  // namespace kn::net
