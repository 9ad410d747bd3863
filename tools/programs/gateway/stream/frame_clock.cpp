#include "tools/programs/gateway/stream/frame_clock.h"

#include <algorithm>

namespace kn::gateway {

FrameTimes CFrameClock::Stamp(int64_t arrivalNs, int64_t runningNs)
{
    FrameTimes t;
    t.dtsNs = std::max<int64_t>(runningNs, 0);
    if (m_nLastDtsNs >= 0) {
        t.dtsNs = std::max(t.dtsNs, m_nLastDtsNs + kMinFrameStepNs);
    }
    if (arrivalNs == kNow) {
        t.ptsNs = t.dtsNs;
    } else {
        if (!m_bStarted) {
            m_nOffsetNs = t.dtsNs - arrivalNs;
            m_bStarted = true;
        }
        t.ptsNs = arrivalNs + m_nOffsetNs;
    }
    if (m_nLastPtsNs >= 0) {
        t.ptsNs = std::max(t.ptsNs, m_nLastPtsNs + kMinFrameStepNs);
    }
    // A frame is never decoded after it is shown.
    t.ptsNs = std::max(t.ptsNs, t.dtsNs);
    m_nLastPtsNs = t.ptsNs;
    m_nLastDtsNs = t.dtsNs;
    return t;
}

}  // namespace kn::gateway
