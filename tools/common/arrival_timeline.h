// CArrivalTimeline: the times of a live stream's frames as they arrive, on
// a timeline that keeps a recorder's opening burst apart. An eager recorder
// sends its first frames (those it had ready) in one write with its
// acknowledgement: they arrive together, and timed by arrival they would
// last nothing. The frames of a stream's opening burst are placed a frame
// time apart instead (the pace the stream keeps, learnt from the frames
// before, else 25 a second), and the frames after keep the offset that
// gave, so the stream's pace is kept from then on. Only the opening burst
// is spread: frames bunched later by the network keep their arrival times
// (never two at one time), so the timeline never drifts from the clock
// beyond one burst. Plain value; one thread uses it.
#pragma once

#include <cstdint>

namespace kn::common {

class CArrivalTimeline {
public:
    static constexpr int64_t kDefaultFrameNs = 40'000'000;  // 25 frames a second
    // Frames that come this close after the one before came with it.
    static constexpr int64_t kBunchedNs = 8'000'000;
    static constexpr int64_t kMinStepNs = 1'000'000;

    // The time (ns) of a frame that arrived at arrivalNs (any steady clock).
    int64_t Place(int64_t arrivalNs);
    // The stream ended: the next frame opens a new stream (and may come
    // with a burst of its own).
    void Restart();
    // The frame time the stream declares, when it is known (0: learn it).
    void SetFrameTime(int64_t frameNs);

private:
    bool m_bOpening = true;         // the frames so far came together with the first
    int64_t m_nLastArrivalNs = -1;  // of the stream's previous frame; -1: none yet
    int64_t m_nLastNs = -1;         // the previous frame's time (across restarts)
    int64_t m_nOffsetNs = 0;        // from arrival to timeline
    int64_t m_nFrameNs = kDefaultFrameNs;
    bool m_bDeclared = false;
};

}  // namespace kn::common
