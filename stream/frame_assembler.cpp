#include "stream/frame_assembler.h"

#include <cstdlib>
#include <cstring>

#include "net/command_packet.h"

namespace kn {

namespace {

constexpr size_t kDatagramPrefix = 4;
constexpr uint32_t kFrameRate = 25;  // as the decoder header announces

void PutLe32(uint8_t *to, uint32_t value)
{
    to[0] = static_cast<uint8_t>(value);
    to[1] = static_cast<uint8_t>(value >> 8);
    to[2] = static_cast<uint8_t>(value >> 16);
    to[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace

CFrameAssembler::CFrameAssembler(CFrameQueue &queue)
    : m_Queue(queue),
      m_nFrameCounter(0),
      m_dwLastSeq(0),
      m_nHeaderBytes(0),
      m_byFrameType(0),
      m_nFrameRemaining(0),
      m_nFramePayload(0),
      m_HeaderBuf{}
{}

void CFrameAssembler::Append(const uint8_t *bytes, size_t count)
{
    // Every stretch is at most one payload (<= kMaxPayload), so it fits.
    m_Queue.AppendFrame(bytes, m_byFrameType, static_cast<int32_t>(count));
}

void CFrameAssembler::OnMediaData(uint8_t *chunk, size_t len, bool datagram)
{
    if (chunk == nullptr || len == 0 || (datagram && len < kDatagramPrefix)) {
        return;
    }
    uint32_t seq = 0;
    size_t pos = 0;
    if (datagram) {
        seq = chunk[2] | (static_cast<uint32_t>(chunk[3]) << 8);
        pos = kDatagramPrefix;
        // Continuous: the next number, one back, or the wrap between 65535
        // and 0. Anything else (the same number included) means datagrams
        // were lost or repeated, so the frame in progress cannot be trusted.
        const int32_t diff = std::abs(static_cast<int32_t>(seq) - static_cast<int32_t>(m_dwLastSeq));
        if (diff != 1 && diff != 65535) {
            m_nHeaderBytes = 0;
            m_nFrameRemaining = 0;
        }
    }
    Cut(chunk, pos, len, false);
    m_dwLastSeq = seq;
}

size_t CFrameAssembler::OnStreamData(uint8_t *chunk, size_t len)
{
    if (chunk == nullptr || len == 0) {
        return 0;
    }
    const size_t taken = Cut(chunk, 0, len, true);
    m_dwLastSeq = 0;
    return taken;
}

void CFrameAssembler::DatagramLost()
{
    m_nHeaderBytes = 0;
    m_nFrameRemaining = 0;
}

void CFrameAssembler::NewConnection()
{
    m_nHeaderBytes = 0;
    m_nFrameRemaining = 0;
    m_dwLastSeq = 0;
}

size_t CFrameAssembler::Cut(uint8_t *chunk, size_t pos, size_t len, bool stopAtReply)
{
    size_t unread = len - pos;
    if (unread == 0) {
        return len;
    }
    if (m_nFrameRemaining >= unread) {
        ClearMarker(chunk + pos, unread, m_nFramePayload - m_nFrameRemaining);
        Append(chunk + pos, unread);
        m_nFrameRemaining -= static_cast<uint32_t>(unread);
        return len;
    }
    if (m_nFrameRemaining > 0) {
        ClearMarker(chunk + pos, m_nFrameRemaining, m_nFramePayload - m_nFrameRemaining);
        Append(chunk + pos, m_nFrameRemaining);
        pos += m_nFrameRemaining;
        m_nFrameRemaining = 0;
    }
    // However many frames the chunk holds, all are cut: a chunk's end is
    // where a receive stopped, not where the recorder's frames stop.
    while (pos < len) {
        if (stopAtReply && m_nHeaderBytes == 0 && chunk[pos] == net::kPacketMagic[0]) {
            return pos;
        }
        // Collect the header; one that ends with the chunk is decoded at the
        // start of the next chunk.
        while (m_nHeaderBytes < 4) {
            m_HeaderBuf[m_nHeaderBytes++] = chunk[pos++];
            if (pos == len) {
                m_nFrameRemaining = 0;
                return len;
            }
        }
        uint32_t payload = 0;
        if (!BeginFromHeader(chunk, len, pos, payload)) {
            return len;  // the rest of the chunk is dropped
        }
        unread = len - pos;
        if (payload >= unread) {
            Append(chunk + pos, unread);
            m_nFrameRemaining = payload - static_cast<uint32_t>(unread);
            return len;
        }
        Append(chunk + pos, payload);
        pos += payload;
    }
    return len;
}

void CFrameAssembler::ClearMarker(uint8_t *bytes, size_t count, uint32_t offset) const
{
    // The decoder expects payload bytes 2 and 3 of type 2 and 3 frames to be
    // 0; they are cleared in whichever chunk they arrive.
    if (m_byFrameType < 2) {
        return;
    }
    for (uint32_t at = 2; at <= 3; ++at) {
        if (at >= offset && at - offset < count) {
            bytes[at - offset] = 0;
        }
    }
}

bool CFrameAssembler::BeginFromHeader(uint8_t *chunk, size_t len, size_t pos, uint32_t &payloadLength)
{
    m_byFrameType = m_HeaderBuf[0];
    uint32_t payload =
        m_HeaderBuf[1] | (static_cast<uint32_t>(m_HeaderBuf[2]) << 8) | (static_cast<uint32_t>(m_HeaderBuf[3]) << 16);
    m_nHeaderBytes = 0;
    if (payload < 4) {
        payload = 4;
    }
    if (m_byFrameType > 3 || payload > kMaxPayload) {
        return false;
    }

    uint8_t prefix[16];
    int32_t prefixLength = 0;
    if (m_byFrameType == 1) {
        std::memcpy(prefix, "00db", 4);
        PutLe32(prefix + 4, payload);
        prefixLength = 8;
    } else if (m_byFrameType >= 2) {
        std::memcpy(prefix, "00dc", 4);
        PutLe32(prefix + 4, kFrameRate);
        PutLe32(prefix + 8, m_nFrameCounter);
        PutLe32(prefix + 12, payload);
        prefixLength = 16;
        ++m_nFrameCounter;
    }
    m_nFramePayload = payload;
    ClearMarker(chunk + pos, len - pos, 0);
    m_Queue.BeginFrame(prefix, m_byFrameType, prefixLength, prefixLength + static_cast<int32_t>(payload));
    payloadLength = payload;
    return true;
}

}  // namespace kn
