// The header every packet begins with, on the command channel and on media
// connections alike:
//   "SDVR" | session id (4 bytes) | length (u16 LE) | code
// The length field counts the code byte and the payload, so a packet
// occupies 10 bytes plus the field. A field of 0 declares less than the
// header itself; such a packet occupies its 11 header bytes, like a field
// of 1. This is the one place that reads a header; the framings of both
// kinds of connection and the message readers all go through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/command_packet.h"

namespace kn::net {

struct PacketHeader {
    SessionId sessionId{};
    uint8_t code = 0;
    // The bytes the whole packet occupies as its header declares them: from
    // kHeaderSize to kHeaderSize + 65534.
    size_t length = kHeaderSize;
};

enum class HeaderRead {
    Complete,    // 11 bytes beginning with the magic: out is filled in
    Partial,     // fewer than 11 bytes, the magic as far as they go
    NotAHeader,  // the bytes break the magic
};

// Reads the header at p[0, n); never reads past n (nor anything of a null p).
HeaderRead ReadPacketHeader(const uint8_t *p, size_t n, PacketHeader &out);

// Whether p[0, n) agrees with the magic as far as both go.
bool BeginsLikeMagic(const uint8_t *p, size_t n);

// The whole length a length field declares.
constexpr size_t PacketLength(uint16_t field) { return kHeaderSize - 1 + (field == 0 ? 1 : field); }

}  // namespace kn::net
