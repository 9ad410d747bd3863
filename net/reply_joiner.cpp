#include "net/reply_joiner.h"

#include "net/command_packet.h"

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
            if (m_nHave == kHeaderSize) {
                // The length field counts the code byte and the payload; a
                // field of 0 declares less than the header, which is taken
                // as a reply of its header alone.
                const size_t field = static_cast<size_t>(m_Head[8]) | static_cast<size_t>(m_Head[9]) << 8;
                m_nTotal = kHeaderSize - 1 + (field == 0 ? 1 : field);
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
