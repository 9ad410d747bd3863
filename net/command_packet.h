// The command packet that every control exchange uses, on the command channel
// and on media channels:
//   "SDVR" | session id (4 opaque bytes) | length (u16 LE, payload + 1) | code | payload
// Packets are built in fixed buffers; a payload too long for its buffer is
// refused, never cut. The requests themselves are encoded by requests.h, the
// received packets read by messages.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kn::net {

// Every packet begins with these four bytes.
inline constexpr uint8_t kPacketMagic[4] = {'S', 'D', 'V', 'R'};
constexpr size_t kHeaderSize = 11;
constexpr size_t kCommandBufferSize = 100;                               // command channel
constexpr size_t kCommandMaxPayload = kCommandBufferSize - kHeaderSize;  // 89
constexpr size_t kMediaBufferSize = 200;                                 // media channel
constexpr size_t kMediaMaxPayload = kMediaBufferSize - kHeaderSize;      // 189

using SessionId = std::array<uint8_t, 4>;  // kept in the order received
using StreamId = std::array<uint8_t, 4>;

// Year as one byte: low 8 bits of year + 48 (year - 2000 for 2000-2255).
// Computed without signed overflow, so every 32-bit year has a defined byte.
inline uint8_t YearByte(int32_t year) { return static_cast<uint8_t>(static_cast<uint32_t>(year) + 48u); }

// Builds a packet into buf (cap bytes, zero-filled first). Returns the packet
// length, or 0 when the payload does not fit (cap - 11 bytes). A null payload
// or n == 0 sends no payload bytes but still declares n.
size_t BuildPacket(uint8_t *buf, size_t cap, const SessionId &id, uint8_t code, const void *payload, size_t n);

}  // namespace kn::net
