// H.264 access units as the recorder delivers them, and what the gateway
// needs to know about them: where the Annex B bytes start inside a delivered
// video frame, which NAL units an access unit holds, and the parameter sets
// a decoder needs in front of a keyframe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kn::gateway {

struct ByteSpan {
    const uint8_t *data = nullptr;
    size_t size = 0;
};

// The Annex B bytes of a delivered frame: a type 2 or 3 frame carries the
// library's 16-byte prefix, then either the recorder's 4-byte wrapper ('K',
// 'V' and two reserved bytes) or the access unit itself. An empty span for
// anything else (other frame types, short frames, no start code where the
// access unit should begin).
ByteSpan AccessUnitOfFrame(uint32_t type, const uint8_t *data, int32_t len);

// NAL unit types present in an Annex B access unit.
struct UnitSummary {
    bool idr = false;  // holds a slice of type 5
    bool sps = false;  // type 7
    bool pps = false;  // type 8
};

// Calls visit(type, nal, size) for every NAL unit of an Annex B buffer, with
// nal pointing at the NAL header byte and size excluding the start code.
template <typename Visit>
void ForEachNal(ByteSpan au, Visit visit);

UnitSummary Summarise(ByteSpan au);

// The last SPS and PPS seen on a channel, to put in front of any keyframe
// that comes without them, so a client joining late can decode from its
// first frame.
class CParameterSets {
public:
    // Remembers the SPS and PPS the access unit carries.
    void Learn(ByteSpan au);
    bool Known() const { return !m_Sps.empty() && !m_Pps.empty(); }
    // The bytes to send for this access unit: the cached SPS and PPS (each
    // with a 4-byte start code) in front of a keyframe that lacks them, then
    // the access unit. Other access units are copied as they are.
    void Complete(ByteSpan au, std::vector<uint8_t> &out) const;

private:
    std::vector<uint8_t> m_Sps;  // NAL unit without start code
    std::vector<uint8_t> m_Pps;
};

// ---------------------------------------------------------------------------

namespace detail {
// Offset of the next start code (00 00 01) at or after from, or size.
size_t FindStartCode(const uint8_t *data, size_t size, size_t from);
}  // namespace detail

template <typename Visit>
void ForEachNal(ByteSpan au, Visit visit)
{
    size_t at = detail::FindStartCode(au.data, au.size, 0);
    while (at < au.size) {
        const size_t begin = at + 3;
        size_t next = detail::FindStartCode(au.data, au.size, begin);
        size_t end = next;
        // A four-byte start code's leading zero, and trailing zeros, belong
        // to no NAL unit.
        while (end > begin && au.data[end - 1] == 0) {
            --end;
        }
        if (end > begin) {
            visit(static_cast<int>(au.data[begin] & 0x1f), au.data + begin, end - begin);
        }
        at = next;
    }
}

}  // namespace kn::gateway
