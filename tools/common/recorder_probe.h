// Whether a recorder is still there, asked the only way that tells: a new TCP
// connection to its port. The library's disconnect notice comes both for a
// closed command connection and for one merely silent (many recorders never
// answer keep-alives), so kestrel and the gateway take a notice, or a
// stream's trouble, only as a reason to look; a connection refused or
// unanswered means the recorder is gone. CRecorderProbe spaces the looks.
#pragma once

#include <cstdint>
#include <string>

namespace kn::common {

// Resolves an IPv4 address (in network order); false with a message.
bool ResolveHost(const std::string &host, uint32_t &addressNetOrder, std::string &message);

// A TCP connect within 1.5 s; false with the reason, which states the time
// waited when no answer came.
bool ProbeAddress(uint32_t addressNetOrder, uint16_t port, std::string &reason);

// Both: true when the recorder is taking connections, else false with the
// reason.
bool ProbeRecorder(const std::string &host, uint16_t port, std::string &reason);

// One recorder's looks, at most one every two seconds: the caller asks
// whenever it has a reason to, and the probe runs only when the last one is
// old enough. Not thread-safe: one supervising thread owns it.
class CRecorderProbe {
public:
    enum class Verdict {
        NotDue,  // looked less than the spacing ago: nothing done
        Alive,   // the recorder took the connection
        Gone,    // refused or unanswered; reason says how
    };

    static constexpr int64_t kSpacingMs = 2000;

    CRecorderProbe(std::string host, uint16_t port) : m_Host(std::move(host)), m_wPort(port) {}

    // nowMs on any steady clock the caller keeps to.
    Verdict Check(int64_t nowMs, std::string &reason);

private:
    std::string m_Host;
    uint16_t m_wPort;
    int64_t m_nNextMs = INT64_MIN;  // no look before then
};

}  // namespace kn::common
