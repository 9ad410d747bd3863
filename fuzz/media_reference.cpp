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
        PutLe32(f.bytes, m_dwCounter++);
        PutLe32(f.bytes, length);
    }
    m_Frames.push_back(std::move(f));
}

bool CMediaReference::TakeReply(const Bytes &chunk, size_t &pos)
{
    while (pos < chunk.size()) {
        const uint8_t byte = chunk[pos++];
        if (m_Reply.size() < 4 && byte != kMagic[m_Reply.size()]) {
            m_Reply.clear();
            m_nReplyTotal = 0;
            return false;
        }
        m_Reply.push_back(byte);
        if (m_Reply.size() == 11) {
            const size_t field = m_Reply[8] | static_cast<size_t>(m_Reply[9]) << 8;
            m_nReplyTotal = 10 + (field == 0 ? 1 : field);
            // A live reply is read to its 18th byte and a playback reply to
            // its stream id, whatever the field says.
            const size_t read = m_Reply[10] == ';' ? 18 : m_Reply[10] == 'K' ? 15 : 11;
            m_nReplyTotal = std::max(m_nReplyTotal, read);
        }
        if (m_nReplyTotal != 0 && m_Reply.size() == m_nReplyTotal) {
            m_Replies.emplace_back(m_Reply.begin(),
                                   m_Reply.begin() + static_cast<long>(std::min(kReplyHead, m_Reply.size())));
            m_ReplyLengths.push_back(m_nReplyTotal);
            m_Reply.clear();
            m_nReplyTotal = 0;
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
        m_Replies.emplace_back(data, data + std::min(kReplyHead, n));
        m_ReplyLengths.push_back(n);
        return;
    }
    Bytes chunk(data, data + n);
    size_t pos = 0;
    uint32_t seq = 0;
    if (datagram) {
        seq = chunk[2] | (static_cast<uint32_t>(chunk[3]) << 8);
        pos = 4;
        const uint32_t forward = (seq - m_dwLastSeq) & 0xFFFF;
        const bool continuous = forward == 1 || forward == 0xFFFF;
        if (!continuous) {
            if (m_nRemaining > 0 && !m_Frames.empty()) {
                m_Frames.back().abandoned = true;
            }
            m_nRemaining = 0;
            m_nHeaderBytes = 0;
        }
    }
    auto take = [&](size_t count) {
        ExpectedFrame &f = m_Frames.back();
        const size_t at = f.bytes.size();
        f.bytes.insert(f.bytes.end(), chunk.begin() + static_cast<long>(pos),
                       chunk.begin() + static_cast<long>(pos + count));
        // Payload bytes 2 and 3 of types 2 and 3 read as zero, whichever
        // chunk they come in (the prefix is 16 bytes).
        for (size_t k = at; k < f.bytes.size(); ++k) {
            if (f.type >= 2 && (k == 16 + 2 || k == 16 + 3)) {
                f.bytes[k] = 0;
            }
        }
        f.have += count;
        pos += count;
        m_nRemaining -= count;
    };
    if (pos < n && m_nRemaining > 0) {
        take(m_nRemaining < n - pos ? m_nRemaining : n - pos);
    }
    while (pos < n && m_nRemaining == 0) {
        // Over TCP a reply goes on, or begins with its magic's first byte
        // where a frame could begin.
        if (!datagram && (!m_Reply.empty() || (m_nHeaderBytes == 0 && chunk[pos] == kMagic[0]))) {
            if (!TakeReply(chunk, pos)) {
                break;  // no reply and no media: the rest of the chunk is dropped
            }
            continue;
        }
        // A header whose last byte ends a chunk is decoded when the next
        // chunk arrives.
        bool ended = false;
        while (m_nHeaderBytes < 4) {
            m_Header[m_nHeaderBytes++] = chunk[pos++];
            if (pos == n) {
                ended = true;
                break;
            }
        }
        if (ended) {
            break;
        }
        m_nHeaderBytes = 0;
        const uint8_t type = m_Header[0];
        uint32_t length =
            m_Header[1] | (static_cast<uint32_t>(m_Header[2]) << 8) | (static_cast<uint32_t>(m_Header[3]) << 16);
        if (length < 4) {
            length = 4;
        }
        if (type > 3 || length > kMaxPayload) {
            break;  // the rest of the chunk is dropped
        }
        Begin(type, length);
        m_nRemaining = length;
        take(m_nRemaining < n - pos ? m_nRemaining : n - pos);
    }
    m_dwLastSeq = seq;
}

}  // namespace kn::fuzz
