#include "fuzz/media_reference.h"

#include <cstring>

namespace kn::fuzz {

namespace {

void PutLe32(Bytes &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

constexpr uint32_t kMaxPayload = 160000;
constexpr int kMaxFramesPerChunk = 150;

}  // namespace

void CMediaReference::Begin(uint8_t type, uint32_t length, uint8_t *payloadStart, size_t available)
{
    ExpectedFrame f;
    f.type = type;
    f.total = length;
    if (type == 1) {
        f.bytes = {'0', '0', 'd', 'b'};
        PutLe32(f.bytes, length);
    } else if (type >= 2) {
        f.bytes = {'0', '0', 'd', 'c'};
        PutLe32(f.bytes, 25);
        PutLe32(f.bytes, m_counter++);
        PutLe32(f.bytes, length);
        // Payload bytes 2 and 3 read as zero when they are in this chunk.
        for (size_t i = 2; i < 4 && i < available; ++i) {
            payloadStart[i] = 0;
        }
    }
    m_frames.push_back(std::move(f));
}

void CMediaReference::Feed(const uint8_t *data, size_t n, bool datagram)
{
    if (data == nullptr || n == 0 || (datagram && n < 4)) {
        return;
    }
    Bytes chunk(data, data + n);
    size_t pos = 0;
    uint32_t seq = 0;
    if (datagram) {
        seq = chunk[2] | (static_cast<uint32_t>(chunk[3]) << 8);
        pos = 4;
        const uint32_t forward = (seq - m_lastSeq) & 0xFFFF;
        const bool continuous = forward == 1 || forward == 0xFFFF;
        if (!continuous) {
            if (m_remaining > 0 && !m_frames.empty()) {
                m_frames.back().abandoned = true;
            }
            m_remaining = 0;
            m_headerBytes = 0;
        }
    }
    auto take = [&](size_t count) {
        ExpectedFrame &f = m_frames.back();
        f.bytes.insert(f.bytes.end(), chunk.begin() + static_cast<long>(pos), chunk.begin() + static_cast<long>(pos + count));
        f.have += count;
        pos += count;
        m_remaining -= count;
    };
    if (pos < n && m_remaining > 0) {
        take(m_remaining < n - pos ? m_remaining : n - pos);
    }
    for (int pass = 0; pass < kMaxFramesPerChunk && pos < n && m_remaining == 0; ++pass) {
        // A header whose last byte ends a chunk is decoded when the next
        // chunk arrives.
        bool ended = false;
        while (m_headerBytes < 4) {
            m_header[m_headerBytes++] = chunk[pos++];
            if (pos == n) {
                ended = true;
                break;
            }
        }
        if (ended) {
            break;
        }
        m_headerBytes = 0;
        const uint8_t type = m_header[0];
        uint32_t length = m_header[1] | (static_cast<uint32_t>(m_header[2]) << 8) |
                          (static_cast<uint32_t>(m_header[3]) << 16);
        if (length < 4) {
            length = 4;
        }
        if (type > 3 || length > kMaxPayload) {
            break;  // the rest of the chunk is dropped
        }
        Begin(type, length, chunk.data() + pos, n - pos);
        m_remaining = length;
        take(m_remaining < n - pos ? m_remaining : n - pos);
    }
    m_lastSeq = seq;
}

}  // namespace kn::fuzz
