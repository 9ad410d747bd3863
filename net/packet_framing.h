// Packets out of a TCP byte stream. TCP keeps no packet boundaries: replies
// and recorder messages that follow each other closely arrive in one receive,
// and any receive may end inside a packet (a long reply always does). The
// joiner collects received bytes and hands them out packet by packet, cut
// where the declared length ends and another packet header begins; bytes
// that follow a packet and begin no header stay with it. A packet whose
// declared length has not all arrived yet is kept and completed by the
// following receives, up to kMaxPacket bytes; one that declares more can
// never be held and is taken as it is, its length field unexamined.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kn::net {

// Whole length of the packet at p as its header declares it, or 0 when the
// bytes do not begin with a complete packet header or declare no length.
size_t DeclaredLength(const uint8_t *p, size_t n);

// The longest packet that is joined across receives: the session's reply
// buffer, 11 header bytes and up to 32757 payload bytes.
constexpr size_t kMaxPacket = 32768;

// Length of the first packet of p[0, n). 0 when the bytes are the start of a
// packet (or of its header) that has not all arrived, and canKeep says there
// is room to keep them for the next receive.
size_t FirstPacketLength(const uint8_t *p, size_t n, bool canKeep);

class CPacketJoiner {
public:
    // The most one receive appends; what is kept must leave room for it.
    static constexpr size_t kReceiveSize = 4096;
    // Room for a whole packet of kMaxPacket bytes less one, and one receive.
    static constexpr size_t kCapacity = kMaxPacket + kReceiveSize;

    CPacketJoiner() = default;
    CPacketJoiner(const CPacketJoiner &) = delete;
    CPacketJoiner &operator=(const CPacketJoiner &) = delete;

    // Adds one receive's bytes (at most kReceiveSize). Bytes that would not
    // fit drop everything held: a stream that lies about its lengths loses
    // its unfinished packet, never memory beyond the buffer.
    void Append(const uint8_t *data, size_t n);

    // The next packet, valid until the next Append or Next. False when none
    // is left; an unfinished packet then stays for the next receive, and
    // everything else is gone.
    bool Next(const uint8_t *&packet, size_t &len);

    void Clear();
    size_t Held() const { return m_nLen - m_nPos; }

private:
    uint8_t m_Buf[kCapacity];
    size_t m_nLen = 0;
    size_t m_nPos = 0;
};

}  // namespace kn::net
