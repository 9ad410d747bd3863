// CFrameAssembler: cuts a stream's received media chunks into frames, puts the
// frame prefix in front of each and stores them in the stream's CFrameQueue.
//
// Media byte stream: frames, each a 4-byte header (type byte, then a 24-bit
// little-endian payload length) and its payload; over a datagram connection
// every datagram starts with a 4-byte prefix whose bytes 2-3 are a 16-bit
// little-endian sequence number. Frames and headers may be split anywhere.
//
// Prefix in front of each queued payload (32-bit little-endian numbers):
//   type 1:    "00db", payload length                        (8 bytes)
//   type 2, 3: "00dc", 25, frame counter, payload length     (16 bytes)
//   type 0:    none
//
// Contract: not thread-safe; one stream's receive thread owns it (under the
// stream's socket lock). Never reads or writes outside the chunk it is given;
// allocates nothing; reports nothing. The state lives as long as the stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/frame_queue.h"

namespace kn::stream {

class CFrameAssembler {
public:
    static constexpr uint32_t kMaxPayload = 160000;
    static constexpr int kMaxFramesPerChunk = 150;

    explicit CFrameAssembler(CFrameQueue &queue);
    CFrameAssembler(const CFrameAssembler &) = delete;
    CFrameAssembler &operator=(const CFrameAssembler &) = delete;

    // Takes one received chunk (datagram: one whole datagram). May zero bytes
    // 2 and 3 of a type 2 or 3 payload in place. A datagram shorter than its
    // 4-byte prefix, and a null or empty chunk, is ignored without any change.
    void OnMediaData(uint8_t *chunk, size_t len, bool datagram);

    // Type 2 and 3 headers accepted so far (wraps at 2^32).
    uint32_t FrameCounter() const { return m_nFrameCounter; }
    // Sequence number of the last datagram (0 after a stream chunk).
    uint32_t LastSeq() const { return m_dwLastSeq; }

private:
    // Decodes m_HeaderBuf and begins its frame at chunk[pos]; returns false
    // when the header is rejected (the rest of the chunk is then dropped).
    bool BeginFromHeader(uint8_t *chunk, size_t len, size_t pos, uint32_t &payloadLength);
    void Append(const uint8_t *bytes, size_t count);

    CFrameQueue &m_Queue;
    uint32_t m_nFrameCounter;
    uint32_t m_dwLastSeq;
    int32_t m_nHeaderBytes;
    uint8_t m_byFrameType;
    uint32_t m_nFrameRemaining;
    uint8_t m_HeaderBuf[4];
};

}  // namespace kn::stream
