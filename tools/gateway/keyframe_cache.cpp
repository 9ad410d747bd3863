#include "tools/gateway/keyframe_cache.h"

namespace kn::gateway {

void CKeyframeCache::Add(ByteSpan unit, bool keyframe)
{
    if (keyframe) {
        m_Bytes.clear();
        m_Units.clear();
        m_State = State::Holding;
    } else if (m_State != State::Holding) {
        return;  // a group is kept only from its keyframe on
    }
    if (m_Bytes.size() + unit.size > m_nMaxBytes) {
        m_Bytes.clear();
        m_Units.clear();
        m_State = State::Outgrown;
        return;
    }
    m_Units.push_back({m_Bytes.size(), unit.size});
    m_Bytes.insert(m_Bytes.end(), unit.data, unit.data + unit.size);
}

void CKeyframeCache::Clear()
{
    m_Bytes.clear();
    m_Units.clear();
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
