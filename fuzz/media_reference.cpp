#include "fuzz/media_reference.h"

#include <algorithm>
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
const uint8_t kMagic[4] = {'S', 'D', 'V', 'R'};
constexpr size_t kReplyHead = 18;

}  // namespace

void CMediaReference::Begin(uint8_t type, uint32_t length)
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
    }
    m_frames.push_back(std::move(f));
}

bool CMediaReference::TakeReply(const Bytes &chunk, size_t &pos)
{
    while (pos < chunk.size()) {
        const uint8_t byte = chunk[pos++];
        if (m_reply.size() < 4 && byte != kMagic[m_reply.size()]) {
            m_reply.clear();
            m_replyTotal = 0;
            return false;
        }
        m_reply.push_back(byte);
        if (m_reply.size() == 11) {
            const size_t field = m_reply[8] | static_cast<size_t>(m_reply[9]) << 8;
            m_replyTotal = 10 + (field == 0 ? 1 : field);
        }
        if (m_replyTotal != 0 && m_reply.size() == m_replyTotal) {
            m_replies.emplace_back(m_reply.begin(), m_reply.begin() + static_cast<long>(std::min(kReplyHead, m_reply.size())));
            m_replyLengths.push_back(m_replyTotal);
            m_reply.clear();
            m_replyTotal = 0;
            return true;
        }
    }
    return true;
}

void CMediaReference::Feed(const uint8_t *data, size_t n, bool datagram)
{
    if (data == nullptr || n == 0 || (datagram && n < 4)) {
        return;
    }
    if (datagram && std::memcmp(data, kMagic, 4) == 0) {
        m_replies.emplace_back(data, data + std::min(kReplyHead, n));
        m_replyLengths.push_back(n);
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
        const size_t at = f.bytes.size();
        f.bytes.insert(f.bytes.end(), chunk.begin() + static_cast<long>(pos), chunk.begin() + static_cast<long>(pos + count));
        // Payload bytes 2 and 3 of types 2 and 3 read as zero, whichever
        // chunk they come in (the prefix is 16 bytes).
        for (size_t k = at; k < f.bytes.size(); ++k) {
            if (f.type >= 2 && (k == 16 + 2 || k == 16 + 3)) {
                f.bytes[k] = 0;
            }
        }
        f.have += count;
        pos += count;
        m_remaining -= count;
    };
    if (pos < n && m_remaining > 0) {
        take(m_remaining < n - pos ? m_remaining : n - pos);
    }
    while (pos < n && m_remaining == 0) {
        // Over TCP a reply goes on, or begins with its magic's first byte
        // where a frame could begin.
        if (!datagram && (!m_reply.empty() || (m_headerBytes == 0 && chunk[pos] == kMagic[0]))) {
            if (!TakeReply(chunk, pos)) {
                break;  // no reply and no media: the rest of the chunk is dropped
            }
            continue;
        }
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
        Begin(type, length);
        m_remaining = length;
        take(m_remaining < n - pos ? m_remaining : n - pos);
    }
    m_lastSeq = seq;
}

}  // namespace kn::fuzz
