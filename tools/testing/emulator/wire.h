// Byte builders for what a recorder puts on the wire: command packets, media
// frames and media datagrams. They are written independently of the library's
// own codec, so a test that compares the two catches mistakes on either side.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kn::emu {

using Bytes = std::vector<uint8_t>;
using Id4 = std::array<uint8_t, 4>;  // session id or stream id, kept in wire order

constexpr size_t kPacketHeaderSize = 11;   // "SDVR" | id | u16 LE length | code
constexpr size_t kDatagramPrefixSize = 4;  // 2 bytes ignored | u16 LE sequence number

// "SDVR" | id | u16 LE (payload + 1) | code | payload. A payload over 65534
// bytes cannot be described by the length field and is cut to fit.
Bytes BuildPacket(const Id4 &id, uint8_t code, const Bytes &payload = {});

// Frame header [type, len24 LE]: the length is written as given (low 24
// bits), so a test can announce a length that the payload does not match.
Bytes BuildFrameHeader(uint8_t type, uint32_t length);

// Header with the payload's true length, then the payload.
Bytes BuildFrame(uint8_t type, const Bytes &payload);

// One media datagram: [0, 0, seq LE] then the stretch of the frame stream.
Bytes BuildDatagram(uint16_t seq, const uint8_t *data, size_t len);

// Wire form of the year: year - 2000 in one byte (low 8 bits of year + 48).
inline uint8_t YearByte(int year) { return static_cast<uint8_t>(year + 48); }

}  // namespace kn::emu
