#include "tools/common/recorder_probe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tools/common/duration_text.h"

namespace kn::common {

namespace {

constexpr int kProbeMs = 1500;

}  // namespace

bool ResolveHost(const std::string &host, uint32_t &addressNetOrder, std::string &message)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        message = "cannot resolve '" + host + "': " + ::gai_strerror(rc);
        return false;
    }
    addressNetOrder = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(res);
    return true;
}

bool ProbeAddress(uint32_t addressNetOrder, uint16_t port, std::string &reason)
{
    const auto began = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addressNetOrder;
    a.sin_port = htons(port);
    int err = 0;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, kProbeMs);
            socklen_t len = sizeof err;
            if (r <= 0) {
                err = ETIMEDOUT;
            } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                err = errno;
            }
        }
    }
    ::close(fd);
    if (err != 0) {
        const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        reason = err == ETIMEDOUT ? "no answer in " + Seconds(waited) : std::strerror(err);
        return false;
    }
    return true;
}

bool ProbeRecorder(const std::string &host, uint16_t port, std::string &reason)
{
    uint32_t address = 0;
    return ResolveHost(host, address, reason) && ProbeAddress(address, port, reason);
}

CRecorderProbe::Verdict CRecorderProbe::Check(int64_t nowMs, std::string &reason)
{
    if (nowMs < m_nNextMs) {
        return Verdict::NotDue;
    }
    m_nNextMs = nowMs + kSpacingMs;
    return ProbeRecorder(m_Host, m_wPort, reason) ? Verdict::Alive : Verdict::Gone;
}

}  // namespace kn::common
