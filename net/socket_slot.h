// A socket shared between one receiving thread and any number of senders.
// Senders take a lease; closing the slot while a send is under way releases
// the descriptor only when that send has finished, so a send can never reach
// a descriptor number that another object has since been given.
//
// Sends through a lease are bounded: one sender at a time writes a whole
// buffer, and a send that cannot hand all its bytes to the socket before its
// time-out marks the connection broken. A broken connection takes no further
// sends; its owner is expected to notice (Broken) and treat it as lost.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/socket.h"

namespace kn::net {

enum class SendResult {
    Sent,      // every byte was handed to the socket
    NoSocket,  // nothing to send on
    TimedOut,  // not all bytes fit within the time-out: the connection is now broken
    Failed,    // the socket failed, is closing, or was already broken
};

class CSocketSlot {
public:
    class Lease {
    public:
        platform::SocketHandle get() const;
        explicit operator bool() const { return static_cast<bool>(m_pOwner); }
        // Sends all len bytes within timeoutMs (waiting for another sender on
        // the same socket counts against it). Never blocks past the time-out.
        SendResult Send(const void *data, size_t len, uint32_t timeoutMs) const;

    private:
        friend class CSocketSlot;
        std::shared_ptr<struct OwnedSocket> m_pOwner;
    };

    CSocketSlot() = default;
    ~CSocketSlot();
    CSocketSlot(const CSocketSlot &) = delete;
    CSocketSlot &operator=(const CSocketSlot &) = delete;

    // Installs s in place of the current socket (which is closed).
    void Install(platform::SocketHandle s);
    // Closes the current socket (at once, or when the last lease ends). A
    // close never sends an orderly end to the peer: threads still holding
    // the socket are woken by ending its reception, and the final close
    // resets the connection.
    void Close();
    bool Has() const;
    // True when a send on the current socket timed out.
    bool Broken() const;
    // The descriptor, for the thread that receives on it while holding the
    // owner's socket lock (under which every Install and Close also happens).
    platform::SocketHandle Peek() const;
    // A lease for one send; empty when there is no socket.
    Lease Acquire() const;
    // Acquire().Send(...), NoSocket when there is no socket.
    SendResult Send(const void *data, size_t len, uint32_t timeoutMs) const;

private:
    mutable std::mutex m_Mutex;
    std::shared_ptr<struct OwnedSocket> m_pOwner;
    platform::SocketHandle m_hFd = platform::kNoSocket;
};

}  // namespace kn::net
