#include "tools/programs/gateway/keyframe_cache.h"

namespace kn::gateway {

void CKeyframeCache::Add(common::ByteSpan unit, bool keyframe)
{
    if (keyframe) {
        if (m_State == State::Holding) {
            // The current group becomes the one before; older ones go.
            DropPrevious();
            m_nCurrent = m_Units.size();
        } else {
            Clear();
        }
        m_State = State::Holding;
    } else if (m_State != State::Holding) {
        return;  // a group is kept only from its keyframe on
    }
    if (m_Bytes.size() + unit.size > m_nMaxBytes) {
        DropPrevious();  // the current group needs the room
    }
    if (m_Bytes.size() + unit.size > m_nMaxBytes) {
        Clear();
        m_State = State::Outgrown;
        return;
    }
    m_Units.push_back({m_Bytes.size(), unit.size});
    m_Bytes.insert(m_Bytes.end(), unit.data, unit.data + unit.size);
    if (Units() >= kDeepStartFrames) {
        DropPrevious();  // the current group is long enough on its own
    }
}

void CKeyframeCache::DropPrevious()
{
    if (m_nCurrent == 0) {
        return;
    }
    const size_t from = m_Units[m_nCurrent].offset;
    m_Bytes.erase(m_Bytes.begin(), m_Bytes.begin() + static_cast<std::ptrdiff_t>(from));
    m_Units.erase(m_Units.begin(), m_Units.begin() + static_cast<std::ptrdiff_t>(m_nCurrent));
    for (Span &s : m_Units) {
        s.offset -= from;
    }
    m_nCurrent = 0;
}

void CKeyframeCache::Clear()
{
    m_Bytes.clear();
    m_Units.clear();
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
