// Packets out of the command channel's TCP byte stream. TCP keeps no packet
// boundaries: replies and recorder messages that follow each other closely
// arrive in one receive, and any receive may end inside a packet (a long
// reply always does). The joiner collects received bytes and hands them out
// packet by packet, each exactly as long as its header declares
// (net/packet_header.h):
// - a packet whose declared length has not all arrived is kept and completed
//   by the following receives, up to kMaxPacket bytes;
// - a packet that declares more than kMaxPacket can never be held: its
//   header is handed out alone, marked as not whole, and the rest of it is
//   counted off as it arrives; none of its bytes is ever taken for a packet;
// - bytes where a header is due that do not begin with the magic are
//   skipped up to the next "SDVR" and never handed out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kn::net {

// The longest packet that is joined across receives: the session's reply
// buffer, 11 header bytes and up to 32757 payload bytes.
constexpr size_t kMaxPacket = 32768;

// One packet handed out by the joiner.
struct Packet {
    const uint8_t *bytes = nullptr;
    // The bytes at `bytes`: the whole packet, or its header alone when the
    // packet is longer than kMaxPacket.
    size_t length = 0;
    // The whole length its header declares.
    size_t declared = 0;

    bool Whole() const { return length == declared; }
};

class CPacketJoiner {
public:
    // The most one receive appends; what is kept must leave room for it.
    static constexpr size_t kReceiveSize = 4096;
    // Room for a whole packet of kMaxPacket bytes less one, and one receive.
    static constexpr size_t kCapacity = kMaxPacket + kReceiveSize;

    CPacketJoiner() = default;
    CPacketJoiner(const CPacketJoiner &) = delete;
    CPacketJoiner &operator=(const CPacketJoiner &) = delete;

    // Adds one receive's bytes (at most kReceiveSize; more are dropped, with
    // everything held).
    void Append(const uint8_t *data, size_t n);

    // The next packet, valid until the next Append or Next. False when none
    // is left; an unfinished packet then stays for the next receive.
    bool Next(Packet &packet);

    void Clear();
    // Bytes kept for the next receive (an unfinished packet or header).
    size_t Held() const { return m_nLen - m_nPos; }
    // Bytes of an over-long packet still to be counted off.
    size_t Skipping() const { return m_nSkip; }
    // Bytes skipped because no header began where one was due, since the
    // joiner was made.
    uint64_t BytesWithoutHeader() const { return m_qwWithoutHeader; }

private:
    // Drops the bytes before the next place where the magic begins (or may
    // begin, at the end of what is held).
    void SkipToMagic();
    void KeepRest();

    uint8_t m_Buf[kCapacity];
    size_t m_nLen = 0;
    size_t m_nPos = 0;
    size_t m_nSkip = 0;
    uint64_t m_qwWithoutHeader = 0;
};

}  // namespace kn::net
