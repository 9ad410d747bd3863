// CBackoff: the delays between attempts to reach a recorder again (a login,
// a stream's reopening): 1, 2, 4 ... seconds up to a ceiling, back to 1 after
// Reset(). Plain value; one thread uses it.
#pragma once

#include <cstdint>

namespace kn::common {

class CBackoff {
public:
    explicit CBackoff(int64_t ceilingMs = 30000) : m_nCeilingMs(ceilingMs) {}
    // The delay before the next attempt, doubling on each call.
    int64_t Next();
    void Reset() { m_nNextMs = kFirstMs; }
    // A new longest delay, from the next call on.
    void SetCeiling(int64_t ceilingMs) { m_nCeilingMs = ceilingMs; }

private:
    static constexpr int64_t kFirstMs = 1000;

    int64_t m_nCeilingMs;
    int64_t m_nNextMs = kFirstMs;
};

}  // namespace kn::common
