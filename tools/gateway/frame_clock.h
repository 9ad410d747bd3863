// Presentation times for one client's frames: the time each frame reaches
// the gateway, put on the recorder's frame grid (25 frames a second), and
// never earlier than one frame after the previous one. Frames that arrive in
// a burst are spread one frame apart; a pause in the stream is a pause in
// the times; the times never go backwards.
#pragma once

#include <cstdint>

namespace kn::gateway {

inline constexpr int64_t kFrameNs = 40'000'000;  // 25 frames a second

class CFrameClock {
public:
    // The presentation time (ns) for a frame arriving at arrivalNs, a time
    // on the client's own running clock (0 when its pipeline started).
    int64_t Stamp(int64_t arrivalNs);

private:
    int64_t m_nLastNs = -1;
};

// Reconnection delays: 1, 2, 4 ... seconds up to a ceiling, back to 1 after
// Reset().
class CBackoff {
public:
    explicit CBackoff(int64_t ceilingMs = 30000) : m_nCeilingMs(ceilingMs) {}
    // The delay before the next attempt, doubling on each call.
    int64_t Next();
    void Reset() { m_nNextMs = 1000; }

private:
    int64_t m_nCeilingMs;
    int64_t m_nNextMs = 1000;
};

}  // namespace kn::gateway
