// Socket set-up shared by the command channel and the media channels: option
// sets, the local port walk over the persisted Settings/BindPort counter,
// bounded connects and multicast.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace kn::net {

class CSocketSlot;

// TCP socket with a 200 ms receive time-out, keep-alive off, abortive close
// and Nagle's algorithm off; kNoSocket when any of it fails.
platform::SocketHandle CreateTcpSocket();
platform::SocketHandle CreateUdpSocket();

// Binds to the next free local port after the persisted one (8000-8999 walk,
// at most 1000 tries) under one process-wide lock; stores the port bound.
bool BindLocalPort(platform::SocketHandle s);

// Non-blocking connect given 1500 ms, then back to blocking.
bool ConnectWithTimeout(platform::SocketHandle s, uint32_t addressNetOrder, uint16_t port);

enum class Transport { Udp = 0, Tcp = 1 };
// create, bind, connect as one sequence; kNoSocket (and nothing left open)
// when a step fails.
platform::SocketHandle OpenConnectedSocket(Transport t, uint32_t addressNetOrder, uint16_t port);

// Replaces the slot's socket by a new datagram socket with a 96 KiB receive
// buffer, bound to portNetOrder (already in network order) with address
// reuse, so that the port is shared with every other group socket on it. False when the
// socket could not be created (slot left empty) or the bind failed (the new
// socket stays installed).
bool RebindMulticastSocket(CSocketSlot &slot, uint16_t portNetOrder);

// TTL 8, loopback off, membership on any interface. Always true.
bool JoinMulticastGroup(platform::SocketHandle s, uint32_t groupNetOrder);

}  // namespace kn::net
