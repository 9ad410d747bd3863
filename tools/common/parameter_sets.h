// CParameterSets: the last SPS and PPS seen on a channel, to put in front of
// any keyframe that comes without them, so a client joining late (or a file
// begun at any keyframe) can decode from its first frame. Plain value; one
// thread uses it.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/common/access_unit.h"

namespace kn::common {

class CParameterSets {
public:
    // Remembers the SPS and PPS the access unit carries, and says which NAL
    // unit types it holds (one pass over the bytes).
    UnitSummary Learn(ByteSpan au);
    bool Known() const { return !m_Sps.empty() && !m_Pps.empty(); }
    // The SPS learnt (NAL unit without start code; empty when none).
    const std::vector<uint8_t> &Sps() const { return m_Sps; }
    // The bytes to send for this access unit: the cached SPS and PPS (each
    // with a 4-byte start code) in front of a keyframe that lacks them, then
    // the access unit. Other access units are copied as they are.
    void Complete(ByteSpan au, std::vector<uint8_t> &out) const { Complete(au, Summarise(au), out); }
    // The same for an access unit whose summary is known.
    void Complete(ByteSpan au, const UnitSummary &s, std::vector<uint8_t> &out) const;

private:
    std::vector<uint8_t> m_Sps;  // NAL unit without start code
    std::vector<uint8_t> m_Pps;
};

}  // namespace kn::common
