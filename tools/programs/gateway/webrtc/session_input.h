// CSessionInput: where a WebRTC session's units enter its pipeline. A pad
// of its own, linked to the session's payloader, carries the channel's
// units (whole access units, the parameter sets in front of each
// keyframe) with caps that name the profile and level of the channel's
// SPS, which the payloader matches against what the browser takes. It is
// pushed by the feeder's threads, one at a time; a new SPS is told to the
// payloader before the keyframe that brings it.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/common/parameter_sets.h"
#include "tools/programs/gateway/stream/stream_unit.h"

typedef struct _GstPad GstPad;
typedef struct _GstCaps GstCaps;
typedef struct _GstElement GstElement;

namespace kn::gateway {

class CSessionInput {
public:
    // Links a pad to sink (the payloader's) and sends the stream's opening
    // events, with the caps of sps (a NAL unit, its header first).
    CSessionInput(GstPad *sink, std::vector<uint8_t> sps);
    ~CSessionInput();
    CSessionInput(const CSessionInput &) = delete;
    CSessionInput &operator=(const CSessionInput &) = delete;

    bool Linked() const { return m_bLinked; }
    // One unit at a presentation time; what the pipeline makes of it (a
    // flushing or failed pipeline) it says on its bus.
    void Deliver(const SharedUnit &unit, int64_t ptsNs);

    // Whole access units in byte-stream form, of the profile and level
    // that sps names (none when it is too short to say).
    static GstCaps *Caps(const std::vector<uint8_t> &sps);

    // The session's packets go out as they are made. webrtcbin holds each
    // sending stream's packets until their time on the pipeline's clock
    // (a clocksync in front of the RTP session), which for units that come
    // live, as they arrive, is a clock entry, the clock's lock and often a
    // sleep for every packet, on the feeder's shared threads. Turned off
    // in pipeline as it is and in whatever is added to it later.
    static void SendUnpaced(GstElement *pipeline);

private:
    GstPad *m_pPad = nullptr;
    bool m_bLinked = false;
    std::vector<uint8_t> m_Sps;
    common::CParameterSets m_Sets;
};

}  // namespace kn::gateway
