#include "tools/kestrel/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "api/exports.h"
#include "tools/kestrel/exit_codes.h"

namespace kn::cli {

namespace {

constexpr int kProbeMs = 1500;

// Resolves an IPv4 address; false with a message.
bool Resolve(const std::string &host, in_addr &out, std::string &message)
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
    out = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
    return true;
}

// A TCP connect within kProbeMs; false with the reason, which states the
// time waited when no answer came.
bool Probe(const in_addr &address, uint16_t port, std::string &reason)
{
    const auto began = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = address;
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
        reason = err == ETIMEDOUT ? "no answer in " + Seconds(ElapsedMs(began) / 1000) : std::strerror(err);
        return false;
    }
    return true;
}

// The library gives up a login after this much silence on the connection.
constexpr double kLoginSilenceMs = 1200;

}  // namespace

bool ProbeRecorder(const std::string &host, uint16_t port, std::string &reason)
{
    in_addr address{};
    return Resolve(host, address, reason) && Probe(address, port, reason);
}

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

void Complain(const std::string &text)
{
    std::fprintf(stderr, "kestrel: %s\n", text.c_str());
}

double ElapsedMs(const std::chrono::steady_clock::time_point &since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

CConnection::~CConnection()
{
    m_pWatch.reset();  // unregisters before the session goes
    if (m_hSession != nullptr) {
        KR_4100_Logout(m_hSession);
    }
    if (m_bStarted) {
        KR_4100_Cleanup();
    }
}

std::string CConnection::Where() const
{
    return m_Host + ":" + std::to_string(m_wPort);
}

void CConnection::WatchForLoss(std::function<void()> onLost, std::function<bool()> quiet)
{
    if (m_hSession == nullptr || m_pWatch) {
        return;
    }
    m_pWatch = std::make_unique<CLossWatch>();
    if (!m_pWatch->Start(m_hSession, m_Host, m_wPort, std::move(onLost), std::move(quiet))) {
        m_pWatch.reset();
    }
}

bool CConnection::Lost(std::string &reason) const
{
    if (!m_pWatch || !m_pWatch->Lost()) {
        return false;
    }
    reason = m_pWatch->Reason();
    return true;
}

bool CConnection::RecorderGone(std::string &reason)
{
    if (Lost(reason)) {
        return true;
    }
    std::string why;
    if (!ProbeRecorder(m_Host, m_wPort, why)) {
        reason = "a new connection failed: " + why;
        return true;
    }
    return false;
}

bool CConnection::RecorderLost(std::string &reason)
{
    if (!m_pWatch) {
        return false;
    }
    if (Lost(reason)) {
        return true;
    }
    if (m_pWatch->Notices() > 0) {
        std::string why;
        if (!ProbeRecorder(m_Host, m_wPort, why)) {
            reason = "the library reported the connection lost or silent, and a new connection failed: " + why;
            return true;
        }
    }
    return false;
}

int CConnection::Open(const Options &options)
{
    m_Host = options.host;
    m_wPort = options.port;
    m_dwTimeoutMs = options.timeoutMs;
    if (KR_4100_Init() != 1) {
        Complain("the library's socket layer did not start");
        return kExitFailure;
    }
    m_bStarted = true;
    KR_4100_SetConnectTime(options.timeoutMs);
    std::string message;
    in_addr address{};
    if (!Resolve(options.host, address, message)) {
        Complain(message);
        return kExitUnreachable;
    }
    int32_t result = 0;
    const auto began = std::chrono::steady_clock::now();
    m_hSession = KR_4100_Login(options.host.c_str(), options.port, options.user.c_str(), options.password.c_str(),
                               &result);
    if (m_hSession != nullptr) {
        return kExitOk;
    }
    const double took = ElapsedMs(began);
    std::string reason;
    if (!Probe(address, options.port, reason)) {
        // The library's own connection attempt came first: say what was
        // waited in all.
        const std::string waited = took >= 1000 ? " (after " + Seconds(ElapsedMs(began) / 1000) +
                                                      ": the library's connection attempt, then kestrel's)"
                                                : "";
        Complain("cannot reach the recorder at " + Where() + ": " + reason + waited);
        return kExitUnreachable;
    }
    const double limit = std::min<double>(options.timeoutMs, kLoginSilenceMs);
    if (took >= 0.9 * limit) {
        Complain("the recorder at " + Where() + " did not answer the login: nothing came in " + Seconds(took / 1000) +
                 (limit < options.timeoutMs ? " (the library gives up after 1.2 s of silence)" : ""));
        return kExitTimeout;
    }
    Complain("the recorder at " + Where() + " refused the login of user '" + options.user +
             "' (or closed the connection)");
    return kExitRefused;
}

}  // namespace kn::cli
