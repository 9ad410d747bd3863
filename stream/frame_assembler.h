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
// The frames are the same however the bytes are cut into chunks: a chunk
// may hold any number of frames, and a frame or header may span any number
// of chunks. Only bytes that are no media (a rejected header) make the cut
// matter: the rest of that chunk is dropped.
//
// Contract: not thread-safe; one stream's receive thread owns it (under the
// stream's socket lock). Never reads or writes outside the chunk it is given;
// allocates nothing; reports nothing. The frame counter lives as long as the
// stream; the rest of the state belongs to one connection (NewConnection).
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/frame_queue.h"

namespace kn {

class CFrameAssembler {
public:
    static constexpr uint32_t kMaxPayload = 160000;

    explicit CFrameAssembler(CFrameQueue &queue);
    CFrameAssembler(const CFrameAssembler &) = delete;
    CFrameAssembler &operator=(const CFrameAssembler &) = delete;

    // Takes one received chunk (datagram: one whole datagram). Zeroes bytes
    // 2 and 3 of a type 2 or 3 payload in place, in whichever chunk they come. A datagram shorter than its
    // 4-byte prefix, and a null or empty chunk, is ignored without any change.
    void OnMediaData(uint8_t *chunk, size_t len, bool datagram);

    // Takes bytes of a TCP byte stream, up to the first frame boundary at
    // which the next byte is the first byte of a command packet (no frame
    // type is that byte, so there a control reply begins); returns how many
    // bytes it took. All of them when there is no such boundary, and when a
    // rejected header drops the rest of the chunk.
    size_t OnStreamData(uint8_t *chunk, size_t len);

    // Between two frames: no header bytes collected, no payload to come.
    bool AtFrameBoundary() const { return m_nHeaderBytes == 0 && m_nFrameRemaining == 0; }

    // A new connection of the stream: a header or frame left unfinished by
    // the old one is given up (the queue's partial frame is replaced by the
    // next frame begun) and the datagram sequence starts again. The frame
    // counter goes on.
    void NewConnection();

    // A datagram arrived that could not be read whole: as for a gap in the
    // sequence, the header or frame in progress is given up. The sequence
    // number stays that of the last datagram read, so the next one is taken
    // as following a gap too.
    void DatagramLost();

    // Type 2 and 3 headers accepted so far (wraps at 2^32).
    uint32_t FrameCounter() const { return m_nFrameCounter; }
    // Sequence number of the last datagram (0 after a stream chunk).
    uint32_t LastSeq() const { return m_dwLastSeq; }

private:
    // Cuts chunk[pos, len) into frames; returns where it stopped (len, or a
    // frame boundary before a reply when stopAtReply).
    size_t Cut(uint8_t *chunk, size_t pos, size_t len, bool stopAtReply);
    // Decodes m_HeaderBuf and begins its frame at chunk[pos]; returns false
    // when the header is rejected (the rest of the chunk is then dropped).
    bool BeginFromHeader(uint8_t *chunk, size_t len, size_t pos, uint32_t &payloadLength);
    void Append(const uint8_t *bytes, size_t count);
    // Clears payload bytes 2 and 3 of a type 2 or 3 frame among count bytes
    // of its payload that start at payload offset `offset`.
    void ClearMarker(uint8_t *bytes, size_t count, uint32_t offset) const;

    CFrameQueue &m_Queue;
    uint32_t m_nFrameCounter;
    uint32_t m_dwLastSeq;
    int32_t m_nHeaderBytes;
    uint8_t m_byFrameType;
    uint32_t m_nFrameRemaining;
    uint32_t m_nFramePayload;  // payload length of the frame in progress
    uint8_t m_HeaderBuf[4];
};

}  // namespace kn
