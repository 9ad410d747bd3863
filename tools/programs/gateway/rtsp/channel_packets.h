// CChannelPackets: a live channel's RTP packets, made once for all its
// viewers. One payloader (GStreamer's rtph264pay, driven on the caller's
// thread, no pipeline and no thread of its own) makes each of the channel's
// parsed units into packets under the shared media's SSRC, with one run of
// sequence numbers and timestamps (each unit at its arrival, on one clock
// for the channel); every viewer sends the same packets (shared, never
// copied). Units are made into packets in the order they came, and only the
// last few are kept (the viewers of one frame ask for it in turn): a viewer
// that joins with the cached group gets that group as a prelude of packets
// of its own (Prelude), on the channel's clock, numbered so that it ends
// where the channel's packets it takes next begin. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include <gst/gst.h>

#include "tools/programs/gateway/stream/stream_unit.h"

namespace kn::gateway {

// Where a viewer's RTP stream begins, as the PLAY answer's RTP-Info names it.
struct RtpStart {
    uint16_t seq = 0;
    uint32_t rtptime = 0;
};

// One rtph264pay driven by hand: each unit in, its packets out.
class CPayloader {
public:
    CPayloader(uint32_t ssrc, uint16_t seq, uint32_t timestampOffset);
    ~CPayloader();
    CPayloader(const CPayloader &) = delete;
    CPayloader &operator=(const CPayloader &) = delete;

    bool Ready() const { return m_pPay != nullptr; }
    // The unit's packets (the caller's), the first unit at the timestamp
    // offset and the others after it by their times; null when it made none.
    GstBufferList *Make(const SharedUnit &unit);

private:
    static GstFlowReturn OnChain(GstPad *pad, GstObject *parent, GstBuffer *buffer);
    static GstFlowReturn OnChainList(GstPad *pad, GstObject *parent, GstBufferList *list);

    GstElement *m_pPay = nullptr;
    GstPad *m_pSrc = nullptr;           // feeds the payloader
    GstPad *m_pSink = nullptr;          // takes its packets
    GstBufferList *m_pFrame = nullptr;  // the packets of the unit being made
    bool m_bSegment = false;
};

class CChannelPackets {
public:
    // The units whose packets are kept: the latest, which the viewers of a
    // frame ask for in turn.
    static constexpr size_t kKept = 1;

    explicit CChannelPackets(uint32_t ssrc);
    ~CChannelPackets();
    CChannelPackets(const CChannelPackets &) = delete;
    CChannelPackets &operator=(const CChannelPackets &) = delete;

    // False when the payloader could not be made.
    bool Ready() const { return m_Pay.Ready(); }
    // The unit's packets (a reference the caller releases), made now when
    // the unit is newer than any before; null when it has none: older than
    // the last unit made and no longer kept (older is set: it can go in a
    // prelude), or the payloader failed.
    GstBufferList *Packets(const SharedUnit &unit, bool *older = nullptr);
    // Where a stream that starts with the next unit made begins: the next
    // sequence number, and the timestamp of now.
    RtpStart Next();
    // Packets of its own for older units, in order, each unit's in a list
    // (the caller's), on the channel's clock and numbered so that the last
    // comes just before seq; false when they could not be made.
    bool Prelude(const std::vector<SharedUnit> &units, uint16_t seq, std::vector<GstBufferList *> &lists);
    // Where a unit's packets begin.
    static RtpStart StartOf(GstBufferList *packets);
    size_t KeptUnits() const;

private:
    struct Entry {
        SharedUnit unit;
        GstBufferList *packets;
    };
    // The channel's RTP time of a unit's time.
    uint32_t TimestampOf(int64_t ns) const;

    const uint32_t m_nSsrc;
    const uint16_t m_nFirstSeq;
    const uint32_t m_nTimestampOffset;
    mutable std::mutex m_Mutex;
    CPayloader m_Pay;
    std::deque<Entry> m_Kept;  // oldest first
    int64_t m_nStartNs = -1;   // the first unit's time: the timestamp offset there
    int64_t m_nLastNs = -1;    // the last unit made
    uint16_t m_nNextSeq;
};

}  // namespace kn::gateway
