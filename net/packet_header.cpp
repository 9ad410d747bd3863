#include "net/packet_header.h"

#include <cstring>

namespace kn::net {

bool BeginsLikeMagic(const uint8_t *p, size_t n)
{
    if (p == nullptr) {
        return n == 0;
    }
    return std::memcmp(p, kPacketMagic, n < sizeof kPacketMagic ? n : sizeof kPacketMagic) == 0;
}

HeaderRead ReadPacketHeader(const uint8_t *p, size_t n, PacketHeader &out)
{
    if (p == nullptr || !BeginsLikeMagic(p, n)) {
        return n == 0 ? HeaderRead::Partial : HeaderRead::NotAHeader;
    }
    if (n < kHeaderSize) {
        return HeaderRead::Partial;
    }
    std::memcpy(out.sessionId.data(), p + 4, out.sessionId.size());
    out.length = PacketLength(static_cast<uint16_t>(p[8] | p[9] << 8));
    out.code = p[10];
    return HeaderRead::Complete;
}

}  // namespace kn::net
