#include "stream/media_framer.h"

#include "net/command_packet.h"
#include "net/messages.h"

namespace kn {

CMediaFramer::CMediaFramer(CFrameAssembler &assembler, ReplyHandler handler, void *context)
    : m_Assembler(assembler), m_pfnReply(handler), m_pContext(context)
{}

void CMediaFramer::NewConnection()
{
    m_Reply.Clear();
    m_Assembler.NewConnection();
}

void CMediaFramer::OnReceive(uint8_t *bytes, size_t count, bool datagram)
{
    if (bytes == nullptr || count == 0) {
        return;
    }
    if (datagram) {
        if (!net::IsControlReply(bytes, count)) {
            m_Assembler.OnMediaData(bytes, count, true);
        } else if (!m_pfnReply(m_pContext, net::ReadControlReply(bytes, count))) {
            NewConnection();
        }
        return;
    }
    size_t pos = 0;
    while (pos < count) {
        if (!m_Reply.Started() && !(m_Assembler.AtFrameBoundary() && bytes[pos] == net::kPacketMagic[0])) {
            pos += m_Assembler.OnStreamData(bytes + pos, count - pos);
            continue;
        }
        size_t used = 0;
        const net::CReplyJoiner::Result result = m_Reply.Take(bytes + pos, count - pos, used);
        pos += used;
        if (result == net::CReplyJoiner::Result::NotAReply) {
            return;  // no media either: the rest of the receive is dropped
        }
        if (result == net::CReplyJoiner::Result::More) {
            continue;  // the reply goes on in the next receive
        }
        const bool sameConnection = m_pfnReply(m_pContext, m_Reply.Reply());
        m_Reply.Clear();
        if (!sameConnection) {
            NewConnection();
            return;
        }
    }
}

}  // namespace kn
