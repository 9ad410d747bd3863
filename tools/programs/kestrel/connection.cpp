#include "tools/programs/kestrel/connection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "api/exports.h"
#include "tools/programs/kestrel/exit_codes.h"

namespace kn::cli {

namespace {

// The library gives up a login after this much silence on the connection.
constexpr double kLoginSilenceMs = 1200;

}  // namespace

void Complain(const std::string &text) { std::fprintf(stderr, "kestrel: %s\n", text.c_str()); }

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

std::string CConnection::Where() const { return m_Host + ":" + std::to_string(m_wPort); }

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
    uint32_t address = 0;
    if (!common::ResolveHost(options.host, address, message)) {
        Complain(message);
        return kExitUnreachable;
    }
    int32_t result = 0;
    const auto began = std::chrono::steady_clock::now();
    m_hSession =
        KR_4100_Login(options.host.c_str(), options.port, options.user.c_str(), options.password.c_str(), &result);
    if (m_hSession != nullptr) {
        return kExitOk;
    }
    const double took = ElapsedMs(began);
    std::string reason;
    if (!common::ProbeAddress(address, options.port, reason)) {
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
