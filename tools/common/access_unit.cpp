#include "tools/common/access_unit.h"

namespace kn::common {

namespace {

constexpr int32_t kVideoPrefix = 16;  // the library's prefix of a type 2/3 frame
constexpr size_t kWrapper = 4;        // the recorder's wrapper in front of the unit
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

bool StartsWithStartCode(const uint8_t *p, size_t n)
{
    return (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
           (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

bool IsSlice(int type) { return type == 1 || type == kNalIdr; }

// An access unit delimiter, SPS, PPS or SEI begins a new unit after a slice.
bool StartsUnit(int type) { return type == 9 || type == kNalSps || type == kNalPps || type == 6; }

}  // namespace

size_t FindStartCode(const uint8_t *data, size_t size, size_t from)
{
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i + 2] > 1) {
            i += 2;  // no start code can end in the next two bytes
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return i;
        }
    }
    return size;
}

ByteSpan AccessUnitOfFrame(uint32_t type, const uint8_t *data, int32_t len)
{
    if ((type != 2 && type != 3) || data == nullptr || len <= kVideoPrefix) {
        return {};
    }
    const uint8_t *p = data + kVideoPrefix;
    size_t n = static_cast<size_t>(len - kVideoPrefix);
    if (n >= kWrapper && p[0] == 'K' && p[1] == 'V') {
        p += kWrapper;
        n -= kWrapper;
    }
    if (!StartsWithStartCode(p, n)) {
        return {};
    }
    return {p, n};
}

UnitSummary Summarise(ByteSpan au)
{
    UnitSummary s;
    ForEachNal(au, [&s](int type, const uint8_t *, size_t) {
        s.idr = s.idr || type == kNalIdr;
        s.sps = s.sps || type == kNalSps;
        s.pps = s.pps || type == kNalPps;
    });
    return s;
}

std::vector<std::vector<uint8_t>> SplitAccessUnits(const std::vector<uint8_t> &stream)
{
    std::vector<std::vector<uint8_t>> units;
    std::vector<uint8_t> current;
    bool sliceSeen = false;
    const uint8_t *s = stream.data();
    const size_t size = stream.size();
    size_t sc = FindStartCode(s, size, 0);
    while (sc < size) {
        // A four-byte start code keeps its leading zero with its NAL unit.
        const size_t begin = (sc > 0 && s[sc - 1] == 0) ? sc - 1 : sc;
        const size_t next = FindStartCode(s, size, sc + 3);
        const size_t end = (next < size && next > 0 && s[next - 1] == 0) ? next - 1 : next;
        const size_t header = sc + 3;
        if (header < end) {
            const int type = s[header] & 0x1F;
            // first_mb_in_slice is ue(v): a leading 1 bit means 0.
            const bool firstSlice = IsSlice(type) && header + 1 < end && (s[header + 1] & 0x80) != 0;
            if (sliceSeen && (StartsUnit(type) || firstSlice)) {
                units.push_back(std::move(current));
                current.clear();
                sliceSeen = false;
            }
            sliceSeen = sliceSeen || IsSlice(type);
        }
        current.insert(current.end(), s + begin, s + end);
        sc = next;
    }
    if (!current.empty()) {
        units.push_back(std::move(current));
    }
    return units;
}

}  // namespace kn::common
