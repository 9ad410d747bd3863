// Small H.264 NAL units and frames as the library delivers them, for the
// tests of the tools' access units and of the gateway's channel hub.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kn::test::h264 {

using Bytes = std::vector<uint8_t>;

inline const Bytes kSps = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E};
inline const Bytes kPps = {0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
inline const Bytes kAud = {0, 0, 0, 1, 0x09, 0xF0};
inline const Bytes kIdr = {0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x21};
inline const Bytes kSlice = {0, 0, 1, 0x41, 0x9A, 0x02, 0x00, 0x03};

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A video frame as the library delivers it: its 16-byte prefix, then the
// recorder's wrapper (or none), then the unit.
inline Bytes Delivered(const Bytes &unit, bool wrapper = true)
{
    Bytes f = {'0', '0', 'd', 'c', 25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    f.reserve(f.size() + 4 + unit.size());
    if (wrapper) {
        f.insert(f.end(), {'K', 'V', 0, 0});
    }
    f.insert(f.end(), unit.begin(), unit.end());
    return f;
}

}  // namespace kn::test::h264
