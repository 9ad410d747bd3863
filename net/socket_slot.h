// A socket shared between one receiving thread and any number of senders.
// Senders take a lease; closing the slot while a send is under way releases
// the descriptor only when that send has finished, so a send can never reach
// a descriptor number that another object has since been given.
#pragma once

#include <memory>
#include <mutex>

#include "platform/socket.h"

namespace kn::net {

class CSocketSlot {
public:
    class Lease {
    public:
        platform::SocketHandle get() const;
        explicit operator bool() const { return static_cast<bool>(m_owner); }
    private:
        friend class CSocketSlot;
        std::shared_ptr<struct OwnedSocket> m_owner;
    };

    CSocketSlot() = default;
    ~CSocketSlot();
    CSocketSlot(const CSocketSlot &) = delete;
    CSocketSlot &operator=(const CSocketSlot &) = delete;

    // Installs s in place of the current socket (which is closed).
    void Install(platform::SocketHandle s);
    // Closes the current socket (at once, or when the last lease ends).
    void Close();
    bool Has() const;
    // The descriptor, for the thread that receives on it while holding the
    // owner's socket lock (under which every Install and Close also happens).
    platform::SocketHandle Peek() const;
    // A lease for one send; empty when there is no socket.
    Lease Acquire() const;

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<struct OwnedSocket> m_owner;
    platform::SocketHandle m_fd = platform::kNoSocket;
};

}  // namespace kn::net
