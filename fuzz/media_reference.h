// An independent model of how a recorder's media byte stream is cut into
// frames, written from the wire format alone, for the fuzz targets to hold
// the library's reassembly against. It knows nothing of the frame queue: it
// lists every frame the reassembly should begin, with the exact bytes the
// host should receive for it. The queue may drop frames (it gives up old
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
    Bytes bytes;       // prefix and payload as the host receives them
    size_t have = 0;   // payload bytes seen so far
    size_t total = 0;  // payload bytes declared
    bool abandoned = false;  // a datagram gap gave it up
};

class CMediaReference {
public:
    // One chunk: a stream receive, or a whole datagram (prefix included).
    void Feed(const uint8_t *p, size_t n, bool datagram);
    const std::vector<ExpectedFrame> &Frames() const { return m_frames; }

private:
    void Begin(uint8_t type, uint32_t length, uint8_t *payloadStart, size_t available);

    std::vector<ExpectedFrame> m_frames;
    uint8_t m_header[4] = {};
    int m_headerBytes = 0;
    size_t m_remaining = 0;  // payload bytes of the current frame still to come
    uint32_t m_counter = 0;
    uint32_t m_lastSeq = 0;
};

}  // namespace kn::fuzz
