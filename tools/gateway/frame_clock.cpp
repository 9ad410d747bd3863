#include "tools/gateway/frame_clock.h"

#include <algorithm>

namespace kn::gateway {

int64_t CFrameClock::Stamp(int64_t arrivalNs)
{
    int64_t t = (std::max<int64_t>(arrivalNs, 0) + kFrameNs / 2) / kFrameNs * kFrameNs;
    if (m_nLastNs >= 0 && t < m_nLastNs + kFrameNs) {
        t = m_nLastNs + kFrameNs;
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
