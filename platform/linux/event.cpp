// Auto-reset events on eventfd. The counter is the event: any Set makes it
// non-zero, one read returns it to zero, so several Sets before a wait still
// wake exactly one waiter. Waits poll the descriptor and then try to take the
// event; a waiter that loses the read to another one goes back to waiting.
#include "platform/event.h"

#include "platform/thread.h"

#include <cerrno>
#include <climits>
#include <cstdint>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kn::platform {

namespace {

bool TakeFd(int fd)
{
    if (fd < 0) {
        return false;
    }
    uint64_t count = 0;
    return read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

// Milliseconds left before deadline, capped to what poll accepts.
int RemainingMs(uint64_t deadline)
{
    uint64_t now = NowMs();
    if (now >= deadline) {
        return 0;
    }
    uint64_t left = deadline - now;
    return left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
}

// Waits until one of fds (negative ones are ignored) is readable or the
// deadline passes. False only when the deadline has passed.
bool PollUntil(pollfd *fds, nfds_t count, uint64_t deadline)
{
    for (;;) {
        int left = RemainingMs(deadline);
        if (left == 0) {
            return false;
        }
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = 0;
        }
        int rc = poll(fds, count, left);
        if (rc > 0) {
            return true;
        }
        if (rc < 0 && errno != EINTR) {
            // Not expected with valid arguments; still keep the wait bounded
            // rather than spin.
            SleepMs(static_cast<uint32_t>(RemainingMs(deadline)));
            return false;
        }
    }
}

}  // namespace

CEvent::CEvent() : m_hNative(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CEvent::~CEvent()
{
    if (m_hNative >= 0) {
        close(m_hNative);
    }
}

void CEvent::Set()
{
    if (m_hNative < 0) {
        return;
    }
    uint64_t one = 1;
    // Fails only when the counter is already near its limit, which means set.
    (void)!write(m_hNative, &one, sizeof one);
}

void CEvent::Reset() { TakeFd(m_hNative); }

bool CEvent::TryTake() { return TakeFd(m_hNative); }

bool CEvent::Wait(uint32_t timeoutMs)
{
    const uint64_t deadline = NowMs() + timeoutMs;
    pollfd fd{m_hNative, POLLIN, 0};
    for (;;) {
        if (TakeFd(m_hNative)) {
            return true;
        }
        if (!PollUntil(&fd, 1, deadline)) {
            return TakeFd(m_hNative);
        }
    }
}

int WaitEither(CEvent &first, CEvent &second, uint32_t timeoutMs)
{
    const uint64_t deadline = NowMs() + timeoutMs;
    pollfd fds[2] = {{first.NativeHandle(), POLLIN, 0}, {second.NativeHandle(), POLLIN, 0}};
    for (;;) {
        // First is always tried first, so when both are set second keeps its
        // state for the next wait.
        if (first.TryTake()) {
            return 0;
        }
        if (second.TryTake()) {
            return 1;
        }
        if (!PollUntil(fds, 2, deadline)) {
            if (first.TryTake()) {
                return 0;
            }
            return second.TryTake() ? 1 : -1;
        }
    }
}

}  // namespace kn::platform
