// CKeyframeCache: a channel's current group of pictures, from its last
// keyframe (sent with its parameter sets) to the latest frame, so that a
// client joining an open channel starts at once instead of waiting for the
// next keyframe. Bounded in bytes: a group that outgrows the bound is given
// up, and the cache holds nothing until the next keyframe. Its memory grows
// to the largest group once and is reused after that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/gateway/access_unit.h"

namespace kn::gateway {

inline constexpr size_t kKeyframeCacheBytes = 4u << 20;

class CKeyframeCache {
public:
    enum class State {
        NoKeyframe,  // none since the stream opened
        Holding,  // a group from its keyframe on
        Outgrown,  // the group outgrew the bound: nothing until the next keyframe
    };

    explicit CKeyframeCache(size_t maxBytes = kKeyframeCacheBytes) : m_nMaxBytes(maxBytes) {}

    // The next access unit as sent to clients; a keyframe starts a new group.
    void Add(ByteSpan unit, bool keyframe);
    // The stream ended: its group is of no use to the next one.
    void Clear();

    State Status() const { return m_State; }
    // "holding", "no keyframe yet", "group larger than N bytes: empty until the next keyframe".
    std::string StatusText() const;
    size_t Units() const { return m_Units.size(); }
    size_t Bytes() const { return m_Bytes.size(); }
    // The units in order, the keyframe first.
    ByteSpan Unit(size_t i) const { return {m_Bytes.data() + m_Units[i].offset, m_Units[i].size}; }

private:
    struct Span {
        size_t offset;
        size_t size;
    };

    const size_t m_nMaxBytes;
    State m_State = State::NoKeyframe;
    std::vector<uint8_t> m_Bytes;
    std::vector<Span> m_Units;
};

}  // namespace kn::gateway
