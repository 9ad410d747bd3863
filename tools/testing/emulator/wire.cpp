#include "tools/testing/emulator/wire.h"

#include <algorithm>

namespace kn::emu {

Bytes BuildPacket(const Id4 &id, uint8_t code, const Bytes &payload)
{
    const size_t n = std::min<size_t>(payload.size(), 0xFFFE);
    Bytes out;
    out.reserve(kPacketHeaderSize + n);
    out.insert(out.end(), {'S', 'D', 'V', 'R'});
    out.insert(out.end(), id.begin(), id.end());
    out.push_back(static_cast<uint8_t>((n + 1) & 0xFF));
    out.push_back(static_cast<uint8_t>((n + 1) >> 8));
    out.push_back(code);
    out.insert(out.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

Bytes BuildFrameHeader(uint8_t type, uint32_t length)
{
    return {type, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16)};
}

Bytes BuildFrame(uint8_t type, const Bytes &payload)
{
    Bytes out = BuildFrameHeader(type, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes BuildDatagram(uint16_t seq, const uint8_t *data, size_t len)
{
    Bytes out{0, 0, static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8)};
    if (data != nullptr && len > 0) {
        out.insert(out.end(), data, data + len);
    }
    return out;
}

}  // namespace kn::emu
