#include "net/packet_framing.h"

#include <cstring>

#include "net/command_packet.h"

namespace kn::net {

namespace {

// True when p[0, n) matches the magic as far as it goes.
bool IsMagicPrefix(const uint8_t *p, size_t n)
{
    return std::memcmp(p, kPacketMagic, n < sizeof kPacketMagic ? n : sizeof kPacketMagic) == 0;
}

}  // namespace

size_t DeclaredLength(const uint8_t *p, size_t n)
{
    if (n < kHeaderSize || !IsMagicPrefix(p, n)) {
        return 0;
    }
    const size_t field = static_cast<size_t>(p[8]) | static_cast<size_t>(p[9]) << 8;
    return field == 0 ? 0 : kHeaderSize - 1 + field;
}

size_t FirstPacketLength(const uint8_t *p, size_t n, bool canKeep)
{
    if (!IsMagicPrefix(p, n)) {
        return n;
    }
    if (n < kHeaderSize) {
        return canKeep ? 0 : n;  // a header cut short: the rest is to come
    }
    const size_t declared = DeclaredLength(p, n);
    if (declared > n) {
        // The rest is to come, unless the packet could never be held whole.
        return canKeep && declared <= kMaxPacket ? 0 : n;
    }
    if (declared != 0 && declared < n && IsMagicPrefix(p + declared, n - declared)) {
        return declared;
    }
    return n;
}

void CPacketJoiner::Append(const uint8_t *data, size_t n)
{
    if (m_nPos != 0) {
        // Whatever was handed out before is done with.
        std::memmove(m_Buf, m_Buf + m_nPos, m_nLen - m_nPos);
        m_nLen -= m_nPos;
        m_nPos = 0;
    }
    if (n > kCapacity - m_nLen) {
        Clear();
        if (n > kCapacity) {
            return;
        }
    }
    std::memcpy(m_Buf + m_nLen, data, n);
    m_nLen += n;
}

bool CPacketJoiner::Next(const uint8_t *&packet, size_t &len)
{
    if (m_nPos >= m_nLen) {
        Clear();
        return false;
    }
    const uint8_t *p = m_Buf + m_nPos;
    const size_t rest = m_nLen - m_nPos;
    const size_t n = FirstPacketLength(p, rest, rest + kReceiveSize <= kCapacity);
    if (n == 0) {
        // An unfinished packet: moved to the front to be completed.
        std::memmove(m_Buf, p, rest);
        m_nLen = rest;
        m_nPos = 0;
        return false;
    }
    packet = p;
    len = n;
    m_nPos += n;
    return true;
}

void CPacketJoiner::Clear()
{
    m_nLen = 0;
    m_nPos = 0;
}

}  // namespace kn::net
