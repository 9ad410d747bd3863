#include "net/socket_slot.h"

#include <utility>

namespace kn::net {

// One open descriptor; closed when the slot and every lease have let go.
struct OwnedSocket {
    platform::SocketHandle fd;
    explicit OwnedSocket(platform::SocketHandle s) : fd(s) {}
    ~OwnedSocket() { platform::CloseSocket(fd); }
    OwnedSocket(const OwnedSocket &) = delete;
    OwnedSocket &operator=(const OwnedSocket &) = delete;
};

namespace {

// Drops the slot's reference outside the slot's mutex. A send that still holds
// a lease is made to return at once; the descriptor is closed by whoever lets
// go last.
void Release(std::shared_ptr<OwnedSocket> old)
{
    if (old && old.use_count() > 1) {
        platform::ShutdownSocket(old->fd);
    }
}

}  // namespace

platform::SocketHandle CSocketSlot::Lease::get() const
{
    return m_owner ? m_owner->fd : platform::kNoSocket;
}

CSocketSlot::~CSocketSlot() { Close(); }

void CSocketSlot::Install(platform::SocketHandle s)
{
    std::shared_ptr<OwnedSocket> fresh;
    if (s != platform::kNoSocket) {
        try {
            fresh = std::make_shared<OwnedSocket>(s);
        } catch (...) {
            platform::CloseSocket(s);  // the slot owns s from here on, even when it cannot keep it
            s = platform::kNoSocket;
        }
    }
    std::shared_ptr<OwnedSocket> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::exchange(m_owner, std::move(fresh));
        m_fd = s;
    }
    Release(std::move(old));
}

void CSocketSlot::Close() { Install(platform::kNoSocket); }

bool CSocketSlot::Has() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<bool>(m_owner);
}

platform::SocketHandle CSocketSlot::Peek() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fd;
}

CSocketSlot::Lease CSocketSlot::Acquire() const
{
    Lease lease;
    std::lock_guard<std::mutex> lock(m_mutex);
    lease.m_owner = m_owner;
    return lease;
}

}  // namespace kn::net
