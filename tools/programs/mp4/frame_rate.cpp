#include "tools/programs/mp4/frame_rate.h"

#include <cmath>

namespace kn::mp4 {

bool CFrameRateWatch::Feed(common::ByteSpan unit)
{
    if (m_bDecided) {
        return true;
    }
    m_Sets.Learn(unit);
    if (!common::Summarise(unit).idr || !m_Sets.Known()) {
        return false;
    }
    m_Sets.Complete(unit, m_Unit);
    m_Rate = DeclaredFrameRate(m_Unit.data(), m_Unit.size());
    m_bDecided = true;
    m_Unit = {};
    return true;
}

FrameRate RecordingRate(const FrameRate &declared, double fallbackFps)
{
    if (declared.Known()) {
        return declared;
    }
    // Whole rates exactly; others (29.97) to a thousandth.
    if (std::fabs(fallbackFps - std::round(fallbackFps)) < 1e-9) {
        return FrameRate{static_cast<int>(std::lround(fallbackFps)), 1};
    }
    return FrameRate{static_cast<int>(std::lround(fallbackFps * 1000)), 1000};
}

}  // namespace kn::mp4
