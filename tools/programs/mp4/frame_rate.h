// The frame rate an H.264 stream declares (the timing information of its
// sequence parameter set), as GStreamer's H.264 parser reads it. Recordings
// are timed by it; a stream that declares none is timed by a rate the user
// gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/common/access_unit.h"
#include "tools/common/parameter_sets.h"

namespace kn::mp4 {

struct FrameRate {
    int num = 0;  // frames ...
    int den = 1;  // ... per this many seconds; num 0: not known
    bool Known() const { return num > 0 && den > 0; }
    double Fps() const { return Known() ? static_cast<double>(num) / den : 0.0; }
};

// The rate an Annex B access unit's SPS declares: the unit must hold the
// SPS, the PPS and a keyframe. Unknown when it declares none, or when this
// build has no GStreamer. Starts a small pipeline: meant to run once.
FrameRate DeclaredFrameRate(const uint8_t *unit, size_t size);

// Finds a stream's declared rate at its first keyframe that has parameter
// sets (in the unit or earlier), then stops looking.
class CFrameRateWatch {
public:
    // True once the rate is decided (known or not).
    bool Feed(common::ByteSpan unit);
    bool Decided() const { return m_bDecided; }
    FrameRate Rate() const { return m_Rate; }

private:
    common::CParameterSets m_Sets;
    std::vector<uint8_t> m_Unit;
    FrameRate m_Rate;
    bool m_bDecided = false;
};

// The rate a recording is timed by: the declared one, else the fallback
// (frames a second).
FrameRate RecordingRate(const FrameRate &declared, double fallbackFps);

}  // namespace kn::mp4
