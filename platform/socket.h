// The socket calls the library needs, IPv4 only. Addresses are 32-bit values
// in network byte order (as they sit in a socket address); ports are in host
// order unless a name says otherwise. Nothing here keeps state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace kn::platform {

class CEvent;

bool SocketLayerStart();
void SocketLayerStop();

// Resolves a host name or dotted IPv4 text; false when it has no IPv4 address.
bool ResolveIPv4(const char *host, uint32_t &addressNetOrder);

SocketHandle OpenTcpSocket();
SocketHandle OpenUdpSocket();
void CloseSocket(SocketHandle s);
// Ends reception on s without sending anything to the peer: a receive or a
// readiness wait on s returns at once, and a later close still resets the
// connection (a full shutdown would first send an orderly end).
void ShutdownReceive(SocketHandle s);

bool SetReceiveTimeout(SocketHandle s, uint32_t ms);
bool SetKeepAlive(SocketHandle s, bool on);
bool SetAbortiveClose(SocketHandle s);  // linger on, time-out 0
bool SetNoDelay(SocketHandle s, bool on);
bool SetReceiveBuffer(SocketHandle s, int bytes);
// Lets s share its port with other sockets that allow it too (SO_REUSEADDR):
// every member of a multicast group on that port receives the group's
// datagrams. Set before the bind.
bool SetReuseAddress(SocketHandle s);
bool SetNonBlocking(SocketHandle s, bool on);

// Binds to any-address; false when the port is taken or the bind fails.
bool BindAny(SocketHandle s, uint16_t port);
bool BindAnyNetPort(SocketHandle s, uint16_t portNetOrder);
// Local port of a bound socket, host order; 0 when unknown.
uint16_t LocalPort(SocketHandle s);

// Starts a connect; the result of a non-blocking start is not reported.
void StartConnect(SocketHandle s, uint32_t addressNetOrder, uint16_t port);
// True when s became writable within timeoutMs.
bool WaitWritable(SocketHandle s, uint32_t timeoutMs);
// True when the socket carries no pending error (a finished connect succeeded).
bool NoPendingError(SocketHandle s);

enum class Readiness { Readable, Woken, TimedOut, Failed };
// Waits until s is readable or wake (if given) is set, up to timeoutMs.
// Woken leaves the event set for its owner to clear.
Readiness WaitReadable(SocketHandle s, CEvent *wake, uint32_t timeoutMs);

// One receive / send call. Receive returns the byte count, 0 when the peer
// closed (or an empty datagram), -1 on failure; ReceiveNoWait's wouldBlock
// tells the caller that it found nothing there.
long Receive(SocketHandle s, void *buf, size_t len);
long ReceiveNoWait(SocketHandle s, void *buf, size_t len, bool &wouldBlock);
// ReceiveNoWait for a datagram socket: one whole datagram. When it was
// longer than len, the first len bytes are there, len is returned and
// truncated is set.
long ReceiveDatagramNoWait(SocketHandle s, void *buf, size_t len, bool &wouldBlock, bool &truncated);
// The most a UDP datagram over IPv4 carries.
constexpr size_t kMaxDatagram = 65507;
long Send(SocketHandle s, const void *buf, size_t len);
// One send that never blocks: the count the socket took (possibly fewer than
// len), or -1; wouldBlock tells that the send buffer had no room at all.
long SendNoWait(SocketHandle s, const void *buf, size_t len, bool &wouldBlock);

bool SetMulticastTtl(SocketHandle s, int ttl);
bool SetMulticastLoop(SocketHandle s, bool on);
bool AddMembership(SocketHandle s, uint32_t groupNetOrder, uint32_t interfaceNetOrder);

}  // namespace kn::platform
