// CKeyframeCache: a channel's current group of pictures, from its last
// keyframe (sent with its parameter sets) to the latest frame, so that a
// client joining an open channel starts at once instead of waiting for the
// next keyframe. While the current group is younger than kDeepStartFrames
// frames, the group before it is kept as well: a player that reads about a
// second of video before it shows anything (ffmpeg probes 20 frames) gets
// that much at once from a deep start. Bounded in bytes: the group before
// goes first; a current group that outgrows the bound is given up, and the
// cache holds nothing until the next keyframe. It holds the stream's own
// units (shared, never copied).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/access_unit.h"
#include "tools/programs/gateway/stream/stream_unit.h"

namespace kn::gateway {

inline constexpr size_t kKeyframeCacheBytes = 4u << 20;
// Frames a deep start reaches back for: a second at 25 frames a second.
inline constexpr size_t kDeepStartFrames = 25;

class CKeyframeCache {
public:
    enum class State {
        NoKeyframe,  // none since the stream opened
        Holding,     // a group from its keyframe on
        Outgrown,    // the group outgrew the bound: nothing until the next keyframe
    };

    explicit CKeyframeCache(size_t maxBytes = kKeyframeCacheBytes) : m_nMaxBytes(maxBytes) {}

    // The next access unit as sent to clients; a keyframe starts a new group.
    void Add(const SharedUnit &unit, bool keyframe);
    // The stream ended: its group is of no use to the next one.
    void Clear();

    State Status() const { return m_State; }
    // "holding", "no keyframe yet", "group larger than N bytes: empty until the next keyframe".
    std::string StatusText() const;
    // The current group: its units in order, the keyframe first.
    size_t Units() const { return m_Units.size() - m_nCurrent; }
    common::ByteSpan Unit(size_t i) const { return Held(m_nCurrent + i); }
    size_t Bytes() const { return m_nBytes - m_nPreviousBytes; }
    // Everything held (the group before the current one included).
    size_t HeldUnits() const { return m_Units.size(); }
    common::ByteSpan Held(size_t i) const { return m_Units[i]->Span(); }
    const SharedUnit &SharedHeld(size_t i) const { return m_Units[i]; }
    // Where a client that wants at least frames units starts among the held
    // ones: the current group's keyframe, or the one before when the
    // current group is shorter and the one before is held.
    size_t StartFor(size_t frames) const { return Units() >= frames ? m_nCurrent : 0; }

private:
    void DropPrevious();  // the units before the current group's keyframe

    const size_t m_nMaxBytes;
    State m_State = State::NoKeyframe;
    std::vector<SharedUnit> m_Units;
    size_t m_nBytes = 0;          // of every unit held
    size_t m_nPreviousBytes = 0;  // of the units before the current group
    size_t m_nCurrent = 0;        // index of the current group's keyframe
};

}  // namespace kn::gateway
