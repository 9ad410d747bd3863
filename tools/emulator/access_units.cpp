#include "tools/emulator/access_units.h"

#include <fstream>
#include <iterator>

namespace kn::emu {

namespace {

// Position of the next 00 00 01 at or after from; size when there is none.
size_t FindStartCode(const Bytes &s, size_t from)
{
    for (size_t i = from; i + 3 <= s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            return i;
        }
    }
    return s.size();
}

bool IsSlice(uint8_t type) { return type == 1 || type == 5; }

bool StartsUnit(uint8_t type) { return type == 9 || type == 7 || type == 8 || type == 6; }

}  // namespace

std::vector<Bytes> SplitAccessUnits(const Bytes &stream)
{
    std::vector<Bytes> units;
    Bytes current;
    bool sliceSeen = false;
    size_t sc = FindStartCode(stream, 0);
    while (sc < stream.size()) {
        // A four-byte start code keeps its leading zero with its NAL unit.
        const size_t begin = (sc > 0 && stream[sc - 1] == 0) ? sc - 1 : sc;
        size_t next = FindStartCode(stream, sc + 3);
        size_t end = next;
        if (next < stream.size() && next > 0 && stream[next - 1] == 0) {
            end = next - 1;
        }
        const size_t header = sc + 3;
        if (header < end) {
            const uint8_t type = stream[header] & 0x1F;
            // first_mb_in_slice is ue(v): a leading 1 bit means 0.
            const bool firstSlice = IsSlice(type) && header + 1 < end && (stream[header + 1] & 0x80) != 0;
            if (sliceSeen && (StartsUnit(type) || firstSlice)) {
                units.push_back(std::move(current));
                current.clear();
                sliceSeen = false;
            }
            sliceSeen = sliceSeen || IsSlice(type);
        }
        current.insert(current.end(), stream.begin() + static_cast<std::ptrdiff_t>(begin),
                       stream.begin() + static_cast<std::ptrdiff_t>(end));
        sc = next;
    }
    if (!current.empty()) {
        units.push_back(std::move(current));
    }
    return units;
}

Bytes WrapAccessUnit(const Bytes &unit)
{
    Bytes out{kClipMagic0, kClipMagic1, 0, 0};
    out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

bool ReadFileBytes(const std::string &path, Bytes &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace kn::emu
