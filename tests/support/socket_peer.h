// Small helpers for tests that look at bytes on the wire: a connected socket
// pair and bounded reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kn::test {

// Both ends of a local stream connection; closed on destruction.
struct SocketPair {
    int near = -1;
    int far = -1;
    SocketPair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            near = fds[0];
            far = fds[1];
        }
    }
    ~SocketPair()
    {
        if (near >= 0)
            close(near);
        if (far >= 0)
            close(far);
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;
};

// Reads until count bytes arrived, the peer closed, or timeoutMs passed.
inline std::vector<uint8_t> ReadExactly(int fd, size_t count, int timeoutMs = 5000)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> out;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        uint8_t buf[4096];
        const size_t want = count - out.size() < sizeof buf ? count - out.size() : sizeof buf;
        const ssize_t n = recv(fd, buf, want, 0);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

}  // namespace kn::test
