#include "tools/common/arrival_timeline.h"

#include <algorithm>

namespace kn::common {

namespace {

// Gaps that say something about a stream's pace.
constexpr int64_t kLongestPaceNs = 1'000'000'000;

}  // namespace

int64_t CArrivalTimeline::Place(int64_t arrivalNs)
{
    int64_t t = arrivalNs + m_nOffsetNs;
    if (m_nLastArrivalNs >= 0) {
        const int64_t gap = arrivalNs - m_nLastArrivalNs;
        if (m_bOpening && gap < kBunchedNs) {
            t = m_nLastNs + m_nFrameNs;
            m_nOffsetNs = t - arrivalNs;
        } else {
            m_bOpening = false;
            if (!m_bDeclared && gap >= kBunchedNs && gap < kLongestPaceNs) {
                m_nFrameNs = (m_nFrameNs * 7 + gap) / 8;
            }
        }
    }
    if (m_nLastNs >= 0) {
        t = std::max(t, m_nLastNs + kMinStepNs);
    }
    m_nLastArrivalNs = arrivalNs;
    m_nLastNs = t;
    return t;
}

void CArrivalTimeline::Restart()
{
    m_bOpening = true;
    m_nLastArrivalNs = -1;
    m_nOffsetNs = 0;
}

void CArrivalTimeline::SetFrameTime(int64_t frameNs)
{
    if (frameNs > 0) {
        m_nFrameNs = frameNs;
        m_bDeclared = true;
    }
}

}  // namespace kn::common
