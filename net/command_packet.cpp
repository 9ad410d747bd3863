#include "net/command_packet.h"

#include <cstring>

namespace kn::net {

size_t BuildPacket(uint8_t *buf, size_t cap, const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    if (buf == nullptr || cap < kHeaderSize || n > cap - kHeaderSize || n > 0xFFFEu) {
        return 0;
    }
    std::memset(buf, 0, cap);
    std::memcpy(buf, kPacketMagic, sizeof kPacketMagic);
    std::memcpy(buf + 4, id.data(), id.size());
    const size_t length = n + 1;
    buf[8] = static_cast<uint8_t>(length & 0xFF);
    buf[9] = static_cast<uint8_t>(length >> 8);
    buf[10] = code;
    if (payload != nullptr && n > 0) {
        std::memcpy(buf + kHeaderSize, payload, n);
    }
    return kHeaderSize + n;
}

}  // namespace kn::net
