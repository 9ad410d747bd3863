#include "net/socket_slot.h"

#include <chrono>
#include <utility>

#include "platform/wait_word.h"

namespace kn::net {

// One open descriptor; closed when the slot and every lease have let go.
struct OwnedSocket {
    platform::SocketHandle fd;
    std::atomic<bool> sending{false};  // one sender writes a whole buffer at a time
    platform::CWaitWord sendDone;      // bumped when a sender lets go while others wait
    std::atomic<int> sendWaiters{0};
    std::atomic<bool> closing{false};  // the slot let go: senders give up
    std::atomic<bool> broken{false};   // a send timed out: the connection is lost
    explicit OwnedSocket(platform::SocketHandle s) : fd(s) {}
    ~OwnedSocket() { platform::CloseSocket(fd); }
    OwnedSocket(const OwnedSocket &) = delete;
    OwnedSocket &operator=(const OwnedSocket &) = delete;
};

namespace {

// A blocked sender looks at the closing flag this often.
constexpr uint32_t kSendWaitSliceMs = 50;

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, rounded up; 0 once it has passed.
uint32_t LeftMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

// The right to send on one socket, waited for until a deadline.
class CSendTurn {
public:
    CSendTurn(OwnedSocket &sock, Clock::time_point deadline) : m_Sock(sock)
    {
        while (m_Sock.sending.exchange(true)) {
            const uint32_t left = LeftMs(deadline);
            if (left == 0) {
                return;
            }
            // Counted before the second look, so that a sender letting go
            // after that look knows to wake us.
            const uint32_t seen = m_Sock.sendDone.Value();
            ++m_Sock.sendWaiters;
            if (m_Sock.sending.load()) {
                m_Sock.sendDone.Wait(seen, left);
            }
            --m_Sock.sendWaiters;
        }
        m_bHeld = true;
    }
    ~CSendTurn()
    {
        if (m_bHeld) {
            m_Sock.sending.store(false);
            if (m_Sock.sendWaiters.load() > 0) {
                m_Sock.sendDone.Bump();
            }
        }
    }
    CSendTurn(const CSendTurn &) = delete;
    CSendTurn &operator=(const CSendTurn &) = delete;
    bool Held() const { return m_bHeld; }

private:
    OwnedSocket &m_Sock;
    bool m_bHeld = false;
};

// Drops the slot's reference outside the slot's mutex. A thread that still
// holds a lease is made to return at once: a receive or readiness wait by
// ending reception (which sends nothing), a send by the closing flag that it
// checks between waits. The descriptor is closed by whoever lets go last.
void Release(std::shared_ptr<OwnedSocket> old)
{
    if (old && old.use_count() > 1) {
        old->closing = true;
        platform::ShutdownReceive(old->fd);
    }
}

}  // namespace

platform::SocketHandle CSocketSlot::Lease::get() const { return m_pOwner ? m_pOwner->fd : platform::kNoSocket; }

SendResult CSocketSlot::Lease::Send(const void *data, size_t len, uint32_t timeoutMs) const
{
    if (!m_pOwner) {
        return SendResult::NoSocket;
    }
    OwnedSocket &sock = *m_pOwner;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const CSendTurn turn(sock, deadline);
    if (!turn.Held()) {
        // Another send on this socket has not finished within our time: it is
        // stuck on the same full connection.
        sock.broken = true;
        return SendResult::TimedOut;
    }
    const auto *p = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < len) {
        if (sock.broken.load() || sock.closing.load()) {
            return SendResult::Failed;
        }
        bool wouldBlock = false;
        const long n = platform::SendNoWait(sock.fd, p + done, len - done, wouldBlock);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (!wouldBlock) {
            return SendResult::Failed;
        }
        const uint32_t left = LeftMs(deadline);
        if (left == 0) {
            sock.broken = true;
            return SendResult::TimedOut;
        }
        const uint32_t slice = left < kSendWaitSliceMs ? left : kSendWaitSliceMs;
        (void)platform::WaitWritable(sock.fd, slice);
    }
    return SendResult::Sent;
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
        std::lock_guard<std::mutex> lock(m_Mutex);
        old = std::exchange(m_pOwner, std::move(fresh));
        m_hFd = s;
    }
    Release(std::move(old));
}

void CSocketSlot::Close() { Install(platform::kNoSocket); }

bool CSocketSlot::Has() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<bool>(m_pOwner);
}

bool CSocketSlot::Broken() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_pOwner && m_pOwner->broken.load();
}

platform::SocketHandle CSocketSlot::Peek() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_hFd;
}

CSocketSlot::Lease CSocketSlot::Acquire() const
{
    Lease lease;
    std::lock_guard<std::mutex> lock(m_Mutex);
    lease.m_pOwner = m_pOwner;
    return lease;
}

SendResult CSocketSlot::Send(const void *data, size_t len, uint32_t timeoutMs) const
{
    return Acquire().Send(data, len, timeoutMs);
}

}  // namespace kn::net
