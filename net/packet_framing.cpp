#include "net/packet_framing.h"

#include <cstring>

#include "net/packet_header.h"

namespace kn::net {

void CPacketJoiner::Append(const uint8_t *data, size_t n)
{
    if (m_nPos != 0) {
        KeepRest();  // whatever was handed out before is done with
    }
    if (n > kCapacity - m_nLen) {
        Clear();  // cannot happen while Next is called after every Append
        if (n > kCapacity) {
            return;
        }
    }
    if (n != 0) {
        std::memcpy(m_Buf + m_nLen, data, n);
        m_nLen += n;
    }
}

bool CPacketJoiner::Next(Packet &packet)
{
    for (;;) {
        if (m_nSkip != 0) {
            const size_t take = m_nLen - m_nPos < m_nSkip ? m_nLen - m_nPos : m_nSkip;
            m_nPos += take;
            m_nSkip -= take;
        }
        const uint8_t *p = m_Buf + m_nPos;
        const size_t rest = m_nLen - m_nPos;
        if (rest == 0) {
            m_nLen = 0;  // all handed out; an over-long packet may still be counted off
            m_nPos = 0;
            return false;
        }
        PacketHeader header;
        switch (ReadPacketHeader(p, rest, header)) {
        case HeaderRead::NotAHeader: SkipToMagic(); continue;
        case HeaderRead::Partial: KeepRest(); return false;
        case HeaderRead::Complete: break;
        }
        if (header.length > kMaxPacket) {
            packet = {p, kHeaderSize, header.length};
            const size_t take = rest < header.length ? rest : header.length;
            m_nPos += take;
            m_nSkip = header.length - take;
            return true;
        }
        if (header.length > rest) {
            KeepRest();  // fits: at most kMaxPacket - 1 bytes are kept
            return false;
        }
        packet = {p, header.length, header.length};
        m_nPos += header.length;
        return true;
    }
}

void CPacketJoiner::SkipToMagic()
{
    const size_t start = m_nPos;
    size_t at = m_nPos + 1;
    while (at < m_nLen) {
        const void *s = std::memchr(m_Buf + at, kPacketMagic[0], m_nLen - at);
        if (s == nullptr) {
            at = m_nLen;
            break;
        }
        at = static_cast<size_t>(static_cast<const uint8_t *>(s) - m_Buf);
        if (BeginsLikeMagic(m_Buf + at, m_nLen - at)) {
            break;
        }
        ++at;
    }
    m_qwWithoutHeader += at - start;
    m_nPos = at;
}

void CPacketJoiner::KeepRest()
{
    const size_t rest = m_nLen - m_nPos;
    if (m_nPos != 0 && rest != 0) {
        std::memmove(m_Buf, m_Buf + m_nPos, rest);
    }
    m_nLen = rest;
    m_nPos = 0;
}

void CPacketJoiner::Clear()
{
    m_nLen = 0;
    m_nPos = 0;
    m_nSkip = 0;
}

}  // namespace kn::net
