#include "tools/programs/gateway/stream/keyframe_cache.h"

namespace kn::gateway {

void CKeyframeCache::Add(const SharedUnit &unit, bool keyframe)
{
    if (keyframe) {
        if (m_State == State::Holding) {
            // The current group becomes the one before; older ones go.
            DropPrevious();
            m_nCurrent = m_Units.size();
            m_nPreviousBytes = m_nBytes;
        } else {
            Clear();
        }
        m_State = State::Holding;
    } else if (m_State != State::Holding) {
        return;  // a group is kept only from its keyframe on
    }
    const size_t size = unit->bytes.size();
    if (m_nBytes + size > m_nMaxBytes) {
        DropPrevious();  // the current group needs the room
    }
    if (m_nBytes + size > m_nMaxBytes) {
        Clear();
        m_State = State::Outgrown;
        return;
    }
    m_Units.push_back(unit);
    m_nBytes += size;
    if (Units() >= kDeepStartFrames) {
        DropPrevious();  // the current group is long enough on its own
    }
}

void CKeyframeCache::DropPrevious()
{
    if (m_nCurrent == 0) {
        return;
    }
    m_Units.erase(m_Units.begin(), m_Units.begin() + static_cast<std::ptrdiff_t>(m_nCurrent));
    m_nBytes -= m_nPreviousBytes;
    m_nPreviousBytes = 0;
    m_nCurrent = 0;
}

void CKeyframeCache::Clear()
{
    m_Units.clear();
    m_nBytes = 0;
    m_nPreviousBytes = 0;
    m_nCurrent = 0;
    m_State = State::NoKeyframe;
}

std::string CKeyframeCache::StatusText() const
{
    switch (m_State) {
    case State::Holding: return "holding";
    case State::NoKeyframe: return "no keyframe yet";
    case State::Outgrown: break;
    }
    return "group larger than " + std::to_string(m_nMaxBytes) + " bytes: empty until the next keyframe";
}

}  // namespace kn::gateway
