#include "tools/testing/emulator/packet_reader.h"

#include <algorithm>

namespace kn::emu {

namespace {

constexpr uint8_t kMagic[4] = {'S', 'D', 'V', 'R'};

// True when the first min(len, 4) bytes could still begin the magic.
bool MagicPrefix(const uint8_t *p, size_t len) { return std::equal(p, p + std::min<size_t>(len, 4), kMagic); }

}  // namespace

void CPacketReader::Feed(const uint8_t *data, size_t len)
{
    if (data != nullptr && len > 0) {
        m_Buf.insert(m_Buf.end(), data, data + len);
    }
}

void CPacketReader::Resync()
{
    size_t skip = 0;
    while (skip < m_Buf.size() && !MagicPrefix(m_Buf.data() + skip, m_Buf.size() - skip)) {
        ++skip;
    }
    if (skip > 0) {
        m_Buf.erase(m_Buf.begin(), m_Buf.begin() + static_cast<std::ptrdiff_t>(skip));
        m_nSkipped += skip;
    }
}

bool CPacketReader::Next(ParsedPacket &out)
{
    for (;;) {
        Resync();
        if (m_Buf.size() < 10) {
            return false;
        }
        const size_t length = m_Buf[8] | (static_cast<size_t>(m_Buf[9]) << 8);
        if (length == 0) {
            // No code byte: drop the magic so the search moves past it.
            m_Buf.erase(m_Buf.begin(), m_Buf.begin() + 4);
            m_nSkipped += 4;
            continue;
        }
        const size_t total = 10 + length;
        if (m_Buf.size() < total) {
            return false;
        }
        out.raw.assign(m_Buf.begin(), m_Buf.begin() + static_cast<std::ptrdiff_t>(total));
        std::copy(m_Buf.begin() + 4, m_Buf.begin() + 8, out.sessionId.begin());
        out.code = m_Buf[10];
        out.payload.assign(out.raw.begin() + kPacketHeaderSize, out.raw.end());
        m_Buf.erase(m_Buf.begin(), m_Buf.begin() + static_cast<std::ptrdiff_t>(total));
        return true;
    }
}

void CPacketReader::Discard()
{
    m_nSkipped += m_Buf.size();
    m_Buf.clear();
}

Bytes CPacketReader::TakeRest()
{
    Bytes rest;
    rest.swap(m_Buf);
    return rest;
}

}  // namespace kn::emu
