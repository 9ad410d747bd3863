// Logging in to a recorder with a reason for every failure: the library says
// only yes or no, so kestrel tells an unreachable recorder (a TCP probe
// fails), a time-out (the refusal took the whole reply time-out) and a
// refusal apart itself.
#pragma once

#include <chrono>
#include <string>

#include "tools/kestrel/options.h"

namespace kn::cli {

// KR_4100_Init and the reply time-out for the object's life; the session, if
// any, is logged out and the library cleaned up at the end.
class CConnection {
public:
    CConnection() = default;
    ~CConnection();
    CConnection(const CConnection &) = delete;
    CConnection &operator=(const CConnection &) = delete;

    // 0 and the session, or an exit code with the message printed.
    int Open(const Options &options);
    void *Session() const { return m_hSession; }
    std::string Where() const;  // "host:port"
    uint32_t TimeoutMs() const { return m_dwTimeoutMs; }

private:
    void *m_hSession = nullptr;
    bool m_bStarted = false;
    std::string m_Host;
    uint16_t m_wPort = 0;
    uint32_t m_dwTimeoutMs = 3000;
};

// Prints "kestrel: <text>" on stderr.
void Complain(const std::string &text);

// Milliseconds since a point, for telling a time-out from a refusal.
double ElapsedMs(const std::chrono::steady_clock::time_point &since);

}  // namespace kn::cli
