// H.264 access units in Annex B, as the recorder delivers them and as the
// emulator serves them: where the bytes start inside a delivered video frame,
// which NAL units an access unit holds, and how an elementary stream is cut
// into access units. The one start-code scanner of the tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kn::common {

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

// Cuts an Annex B stream into access units, start codes kept. A new unit
// begins at an access unit delimiter, SPS, PPS or SEI that follows a slice,
// or at a slice whose first_mb_in_slice is 0 that follows a slice. Bytes
// before the first start code are dropped. Empty input gives no units.
std::vector<std::vector<uint8_t>> SplitAccessUnits(const std::vector<uint8_t> &stream);

// Offset of the next start code (00 00 01) at or after from, or size.
size_t FindStartCode(const uint8_t *data, size_t size, size_t from);

// ---------------------------------------------------------------------------

template <typename Visit>
void ForEachNal(ByteSpan au, Visit visit)
{
    size_t at = FindStartCode(au.data, au.size, 0);
    while (at < au.size) {
        const size_t begin = at + 3;
        size_t next = FindStartCode(au.data, au.size, begin);
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

}  // namespace kn::common
