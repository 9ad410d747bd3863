// CMediaFramer: what a stream's connection receives, cut into control
// replies and media, whatever the receives.
//
// TCP: the recorder's control replies and its media frames follow one
// another in one byte stream, and a receive may end anywhere in either. A
// reply stands where a frame would begin, and its first byte is no frame
// type, so at every frame boundary that byte begins a control reply. The
// reply is joined across receives by its declared length (net::CReplyJoiner)
// and handed over when complete; what follows its end is media and goes to
// reassembly in the same pass. Bytes that begin like a reply but lack the
// packet magic are no valid input: the rest of that receive is dropped, as
// for a rejected frame header.
//
// Datagrams: every datagram is a message of its own. One that begins with
// the packet magic is a control reply, any other carries media.
//
// Contract: the stream's receive thread owns it, under the stream's socket
// lock. Allocates nothing; reads and writes only inside the receive given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/messages.h"
#include "net/reply_joiner.h"
#include "stream/frame_assembler.h"

namespace kn {

class CMediaFramer {
public:
    // Acts on one control reply, read by the codec (over TCP once its
    // declared length has all arrived; a datagram is one reply). Returns
    // false when the reply moved the stream to another connection: what is
    // left of the receive came from the old one and is dropped.
    using ReplyHandler = bool (*)(void *context, const net::ControlReply &reply);

    CMediaFramer(CFrameAssembler &assembler, ReplyHandler handler, void *context);
    CMediaFramer(const CMediaFramer &) = delete;
    CMediaFramer &operator=(const CMediaFramer &) = delete;

    // One receive: a stretch of the TCP byte stream, or one whole datagram.
    // May change bytes of it in place (see CFrameAssembler).
    void OnReceive(uint8_t *bytes, size_t count, bool datagram);

    // A new connection: an unfinished reply, header or frame of the old one
    // is given up (see CFrameAssembler::NewConnection).
    void NewConnection();

private:
    CFrameAssembler &m_Assembler;
    const ReplyHandler m_pfnReply;
    void *const m_pContext;
    net::CReplyJoiner m_Reply;
};

}  // namespace kn
