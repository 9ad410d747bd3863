#include "net/reply_joiner.h"

#include "net/command_packet.h"
#include "net/packet_header.h"

namespace kn::net {

CReplyJoiner::Result CReplyJoiner::Take(const uint8_t *p, size_t n, size_t &consumed)
{
    consumed = 0;
    if (p == nullptr) {
        return Result::More;
    }
    while (consumed < n) {
        if (m_nTotal != 0 && m_nHave >= kHeadSize) {
            // Past the kept bytes: count the rest off in one step.
            const size_t want = m_nTotal - m_nHave;
            const size_t take = n - consumed < want ? n - consumed : want;
            m_nHave += take;
            consumed += take;
        } else {
            const uint8_t byte = p[consumed++];
            if (m_nHave < sizeof kPacketMagic && byte != kPacketMagic[m_nHave]) {
                Clear();
                return Result::NotAReply;
            }
            m_Head[m_nHave++] = byte;
            PacketHeader header;
            if (m_nHave == kHeaderSize && ReadPacketHeader(m_Head, m_nHave, header) == HeaderRead::Complete) {
                m_nTotal = ControlReplyLength(header);
            }
        }
        if (m_nTotal != 0 && m_nHave == m_nTotal) {
            return Result::Complete;
        }
    }
    return Result::More;
}

ControlReply CReplyJoiner::Reply() const
{
    ControlReply reply = ReadControlReply(m_Head, HeadLength());
    reply.length = m_nTotal;
    return reply;
}

void CReplyJoiner::Clear()
{
    m_nHave = 0;
    m_nTotal = 0;
}

}  // namespace kn::net
