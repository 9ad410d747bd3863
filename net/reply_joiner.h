// CReplyJoiner: one control reply out of a TCP byte stream, whatever the
// receives. A reply is a command packet, so its header says where it ends
// (net/packet_header.h), though never before the last byte a stream reads
// of it (ControlReplyLength in net/messages.h); the joiner takes the reply's bytes as they come, across as many receives as
// it takes, and says when the last one has been taken, so that whatever
// follows in the same receive can go to its owner in the same pass.
//
// Only the first kHeadSize bytes are kept (every field a media channel reads
// lies in them); the rest of a longer reply is counted off, not stored, so a
// reply of any declared length costs no memory and no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/messages.h"

namespace kn::net {

class CReplyJoiner {
public:
    static constexpr size_t kHeadSize = 18;

    enum class Result {
        More,       // every byte given was taken; the reply goes on
        Complete,   // the reply ends within the bytes given: Head() holds it
        NotAReply,  // the bytes do not begin with the packet magic
    };

    CReplyJoiner() = default;
    CReplyJoiner(const CReplyJoiner &) = delete;
    CReplyJoiner &operator=(const CReplyJoiner &) = delete;

    // Takes bytes of the reply that begins (or goes on) at p. consumed is
    // how many of the n bytes belong to it: all of them for More, up to the
    // reply's end for Complete, up to the first byte that breaks the magic
    // (that byte included) for NotAReply, after which the joiner is clear.
    Result Take(const uint8_t *p, size_t n, size_t &consumed);

    // True once a reply's first byte has been taken and until Clear.
    bool Started() const { return m_nHave != 0; }
    // The reply's first bytes (at most kHeadSize), valid after Complete
    // until Clear.
    const uint8_t *Head() const { return m_Head; }
    size_t HeadLength() const { return m_nHave < kHeadSize ? m_nHave : kHeadSize; }
    // Whole length of the reply in progress, 0 until its header is in.
    size_t TotalLength() const { return m_nTotal; }
    // The reply read (what its head says, and its whole length), valid after
    // Complete until Clear.
    ControlReply Reply() const;

    void Clear();

private:
    uint8_t m_Head[kHeadSize] = {};
    size_t m_nHave = 0;   // bytes of the reply taken so far
    size_t m_nTotal = 0;  // whole length as declared; 0 until the header is in
};

}  // namespace kn::net
