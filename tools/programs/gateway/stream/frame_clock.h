// Times for one client's live frames, on the client's own running clock.
//
// The presentation time of a frame is the time it reached the gateway, moved
// onto the client's clock once, at the client's first frame: with no grid of
// any frame rate, so a stream plays at the pace the recorder sends it (25, 30
// or any other rate), and a pause in the source is a pause in the stream. A
// client that starts with the cached group gets the group's frames at once
// but each at its true time: a recording of N frames lasts N frame times,
// warm or cold, and the client's timeline runs behind the arrivals by the
// group's age.
//
// The decoding time is when the frame leaves: the client's running time as
// it is handed over, so a sink that keeps to the clock sends the cached
// group at once. It is never later than the presentation time.
//
// Both never go backwards, and frames handed over together are kept a
// millisecond apart.
#pragma once

#include <cstdint>

namespace kn::gateway {

inline constexpr int64_t kMinFrameStepNs = 1'000'000;

struct FrameTimes {
    int64_t ptsNs = 0;
    int64_t dtsNs = 0;
};

class CFrameClock {
public:
    // The times (ns) for a frame that reached the gateway at arrivalNs (a
    // steady clock's time) and is handed to the client at runningNs, a time
    // on the client's running clock (0 when its pipeline started).
    FrameTimes Stamp(int64_t arrivalNs, int64_t runningNs);
    // The same for a frame handed over as it arrives.
    int64_t Stamp(int64_t runningNs) { return Stamp(kNow, runningNs).ptsNs; }

private:
    static constexpr int64_t kNow = INT64_MIN;

    bool m_bStarted = false;
    int64_t m_nOffsetNs = 0;  // from the arrival clock to the client's
    int64_t m_nLastPtsNs = -1;
    int64_t m_nLastDtsNs = -1;
};

}  // namespace kn::gateway
