#include "tools/gateway/frame_clock.h"

#include <algorithm>

namespace kn::gateway {

int64_t CFrameClock::Stamp(int64_t arrivalNs)
{
    int64_t t = std::max<int64_t>(arrivalNs, 0);
    if (m_nLastNs >= 0 && t < m_nLastNs + kMinFrameStepNs) {
        t = m_nLastNs + kMinFrameStepNs;
    }
    m_nLastNs = t;
    return t;
}

int64_t CBackoff::Next()
{
    const int64_t delay = std::min(m_nNextMs, m_nCeilingMs);
    m_nNextMs = std::min(m_nNextMs * 2, std::max<int64_t>(m_nCeilingMs, 1000));
    return delay;
}

}  // namespace kn::gateway
