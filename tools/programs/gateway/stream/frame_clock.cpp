#include "tools/programs/gateway/stream/frame_clock.h"

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

}  // namespace kn::gateway
