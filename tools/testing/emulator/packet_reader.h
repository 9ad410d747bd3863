// Cuts a received byte stream into command packets by their length field,
// whatever the receive boundaries. Bytes that cannot start a packet (no
// "SDVR" magic, or a length field of 0 that leaves no room for the code) are
// skipped and counted, so a hostile peer can never stall or crash the reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/testing/emulator/wire.h"

namespace kn::emu {

struct ParsedPacket {
    Bytes raw;  // the whole packet, header included
    Id4 sessionId{};
    uint8_t code = 0;
    Bytes payload;
};

class CPacketReader {
public:
    void Feed(const uint8_t *data, size_t len);

    // Takes the next complete packet; false when none is complete yet.
    bool Next(ParsedPacket &out);

    // Hands out the bytes not yet taken (e.g. raw audio that followed the
    // opening packet) and empties the reader.
    Bytes TakeRest();

    // Drops an incomplete packet (a datagram ends what it carries), counting
    // its bytes as skipped.
    void Discard();

    size_t SkippedBytes() const { return m_nSkipped; }

private:
    void Resync();

    Bytes m_Buf;
    size_t m_nSkipped = 0;
};

}  // namespace kn::emu
