// Logging in to a recorder with a reason for every failure. The library says
// only yes or no, so kestrel tells the cases apart itself: an unreachable
// recorder (a TCP probe fails), a recorder that did not answer (the failure
// took the reply time-out, or the library's 1.2 s silence limit, whichever is
// shorter) and a refusal (an earlier failure: a refusing reply, or a closed
// connection; the library cannot tell these two apart).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tools/common/duration_text.h"
#include "tools/common/recorder_probe.h"
#include "tools/programs/kestrel/loss_watch.h"
#include "tools/programs/kestrel/options.h"

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

    // Starts watching for the loss of the recorder (after Open succeeded);
    // onLost runs on the watch's thread, quiet as CLossWatch::Start takes
    // it. The watch ends before the logout.
    void WatchForLoss(std::function<void()> onLost = {}, std::function<bool()> quiet = {});
    // True when the watch found the recorder gone; reason says why. Cheap.
    bool Lost(std::string &reason) const;
    // After a request failed: Lost(), or the library had reported the
    // connection lost or silent and the recorder no longer takes
    // connections (checked now).
    bool RecorderLost(std::string &reason);
    // After a stream ended early: Lost(), or the recorder no longer takes
    // connections (checked now, whatever the library reported).
    bool RecorderGone(std::string &reason);

private:
    void *m_hSession = nullptr;
    std::unique_ptr<CLossWatch> m_pWatch;
    bool m_bStarted = false;
    std::string m_Host;
    uint16_t m_wPort = 0;
    uint32_t m_dwTimeoutMs = 3000;
};

// A TCP connect to the recorder within 1.5 s (tools/common).
using common::ProbeRecorder;

// Prints "kestrel: <text>" on stderr.
void Complain(const std::string &text);

// Milliseconds since a point, for telling a time-out from a refusal.
double ElapsedMs(const std::chrono::steady_clock::time_point &since);
// "1.5 s": a wait as messages state it.
using common::Seconds;

}  // namespace kn::cli
