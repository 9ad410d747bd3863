// Presentation times for one client's live frames: the time each frame
// reaches the gateway, with no grid of any frame rate, so a stream plays at
// the pace the recorder sends it (25, 30 or any other rate) and a pause in
// the source is a pause in the stream. The times never go backwards, and
// frames that arrive together are kept a millisecond apart.
#pragma once

#include <cstdint>

namespace kn::gateway {

inline constexpr int64_t kMinFrameStepNs = 1'000'000;

class CFrameClock {
public:
    // The presentation time (ns) for a frame arriving at arrivalNs, a time
    // on the client's own running clock (0 when its pipeline started).
    int64_t Stamp(int64_t arrivalNs);

private:
    int64_t m_nLastNs = -1;
};

}  // namespace kn::gateway
