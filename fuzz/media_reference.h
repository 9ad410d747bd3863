// An independent model of how what a stream connection receives is cut into
// control replies and frames, written from the wire format alone, for the
// fuzz targets to hold the library's framing and reassembly against. Over
// TCP a control reply (a command packet, framed by its declared length) may
// stand wherever a frame could begin, above all at the start, right before
// the first frames; a datagram that begins with the packet magic is a reply
// of its own. It knows nothing of the frame queue: it lists every reply
// (its first 18 bytes) and every frame the reassembly should begin, with
// the exact bytes the host should receive for it. The queue may drop frames (it gives up old
// ones), so what the host receives must be an ordered subsequence of this
// list, each frame byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kn::fuzz {

using Bytes = std::vector<uint8_t>;

struct ExpectedFrame {
    uint8_t type = 0;
    Bytes bytes;             // prefix and payload as the host receives them
    size_t have = 0;         // payload bytes seen so far
    size_t total = 0;        // payload bytes declared
    bool abandoned = false;  // a datagram gap gave it up
};

class CMediaReference {
public:
    // One chunk: a stream receive, or a whole datagram (prefix included).
    void Feed(const uint8_t *p, size_t n, bool datagram);
    const std::vector<ExpectedFrame> &Frames() const { return m_Frames; }
    const std::vector<Bytes> &Replies() const { return m_Replies; }
    // The whole length of each reply: declared over TCP, the datagram's own.
    const std::vector<size_t> &ReplyLengths() const { return m_ReplyLengths; }

private:
    void Begin(uint8_t type, uint32_t length);

    // Takes reply bytes from chunk[pos]; false when they break the magic.
    bool TakeReply(const Bytes &chunk, size_t &pos);

    std::vector<ExpectedFrame> m_Frames;
    std::vector<Bytes> m_Replies;
    std::vector<size_t> m_ReplyLengths;
    Bytes m_Reply;             // the reply in progress, all of it
    size_t m_nReplyTotal = 0;  // its declared whole length, once known
    uint8_t m_Header[4] = {};
    int m_nHeaderBytes = 0;
    size_t m_nRemaining = 0;  // payload bytes of the current frame still to come
    uint32_t m_dwCounter = 0;
    uint32_t m_dwLastSeq = 0;
};

}  // namespace kn::fuzz
