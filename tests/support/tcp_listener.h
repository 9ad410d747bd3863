// A TCP listener on 127.0.0.1 with a system-chosen port, for socket tests.
#pragma once

#include <cstdint>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kn::test {

inline uint32_t LoopbackNetOrder() { return htonl(INADDR_LOOPBACK); }

class CTcpListener {
public:
    // listening == false leaves the port bound but refusing connections.
    explicit CTcpListener(bool listening = true)
    {
        m_hFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (m_hFd < 0 || bind(m_hFd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            (listening && listen(m_hFd, 16) != 0) || getsockname(m_hFd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
            return;
        }
        m_wPort = ntohs(sa.sin_port);
    }
    ~CTcpListener()
    {
        if (m_hFd >= 0)
            close(m_hFd);
    }
    CTcpListener(const CTcpListener &) = delete;
    CTcpListener &operator=(const CTcpListener &) = delete;

    bool Ok() const { return m_wPort != 0; }
    uint16_t Port() const { return m_wPort; }

    // The next connection, or -1 when none arrived within timeoutMs.
    int Accept(int timeoutMs = 5000)
    {
        pollfd pfd{m_hFd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return -1;
        }
        return accept4(m_hFd, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int m_hFd = -1;
    uint16_t m_wPort = 0;
};

}  // namespace kn::test
