#include "tools/programs/gateway/rtsp/channel_packets.h"

#include <algorithm>
#include <chrono>

#include <gst/rtp/gstrtpbuffer.h>

#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";

// The payloader's events (caps, segment) end here: the packets are all
// this side takes.
gboolean OnEvent(GstPad *, GstObject *, GstEvent *event)
{
    gst_event_unref(event);
    return TRUE;
}

int64_t SteadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// 90 kHz ticks of a time that may be negative, wrapping as RTP times do.
uint32_t Ticks(int64_t ns)
{
    const uint64_t t = gst_util_uint64_scale(static_cast<uint64_t>(ns < 0 ? -ns : ns), 90000, GST_SECOND);
    return ns < 0 ? static_cast<uint32_t>(0u - static_cast<uint32_t>(t)) : static_cast<uint32_t>(t);
}

// A prelude packet's sequence number. Its packets are its own (one
// reference each), the header in a memory of its own, written in place; the
// payload, the channel's unit, is never written.
void SetSeq(GstBuffer *packet, uint16_t seq)
{
    GstMemory *header = gst_buffer_n_memory(packet) > 0 ? gst_buffer_peek_memory(packet, 0) : nullptr;
    GstMapInfo map;
    if (header != nullptr && gst_memory_is_writable(header) && gst_memory_map(header, &map, GST_MAP_WRITE)) {
        if (map.size >= 4) {
            map.data[2] = static_cast<uint8_t>(seq >> 8);
            map.data[3] = static_cast<uint8_t>(seq);
        }
        gst_memory_unmap(header, &map);
        return;
    }
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (gst_rtp_buffer_map(packet, GST_MAP_WRITE, &rtp)) {
        gst_rtp_buffer_set_seq(&rtp, seq);
        gst_rtp_buffer_unmap(&rtp);
    }
}

}  // namespace

CPayloader::CPayloader(uint32_t ssrc, uint16_t seq, uint32_t timestampOffset)
{
    GstElement *pay = gst_element_factory_make("rtph264pay", nullptr);
    if (pay == nullptr) {
        return;
    }
    g_object_set(pay, "pt", 96, "config-interval", -1, "seqnum-offset", static_cast<gint>(seq), "timestamp-offset",
                 static_cast<guint>(timestampOffset), "ssrc", static_cast<guint>(ssrc), nullptr);
    gst_util_set_object_arg(G_OBJECT(pay), "aggregate-mode", "zero-latency");
    m_pSrc = gst_pad_new("src", GST_PAD_SRC);
    m_pSink = gst_pad_new("sink", GST_PAD_SINK);
    gst_pad_set_element_private(m_pSink, this);
    gst_pad_set_chain_function(m_pSink, OnChain);
    gst_pad_set_chain_list_function(m_pSink, OnChainList);
    gst_pad_set_event_function(m_pSink, OnEvent);
    GstPad *in = gst_element_get_static_pad(pay, "sink");
    GstPad *out = gst_element_get_static_pad(pay, "src");
    const bool linked = gst_pad_link(m_pSrc, in) == GST_PAD_LINK_OK && gst_pad_link(out, m_pSink) == GST_PAD_LINK_OK;
    gst_object_unref(in);
    gst_object_unref(out);
    gst_pad_set_active(m_pSink, TRUE);
    gst_pad_set_active(m_pSrc, TRUE);
    if (!linked || gst_element_set_state(pay, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(pay, GST_STATE_NULL);
        gst_object_unref(pay);
        return;
    }
    m_pPay = pay;
    gchar *id = gst_pad_create_stream_id(m_pSrc, pay, nullptr);
    gst_pad_push_event(m_pSrc, gst_event_new_stream_start(id));
    g_free(id);
    GstCaps *caps = gst_caps_from_string(kCaps);
    gst_pad_push_event(m_pSrc, gst_event_new_caps(caps));
    gst_caps_unref(caps);
}

CPayloader::~CPayloader()
{
    if (m_pPay != nullptr) {
        gst_element_set_state(m_pPay, GST_STATE_NULL);
    }
    for (GstPad *pad : {m_pSrc, m_pSink}) {
        if (pad != nullptr) {
            gst_pad_set_active(pad, FALSE);
            gst_object_unref(pad);
        }
    }
    if (m_pPay != nullptr) {
        gst_object_unref(m_pPay);
    }
}

GstBufferList *CPayloader::Make(const SharedUnit &unit)
{
    if (m_pPay == nullptr) {
        return nullptr;
    }
    GstBuffer *buffer = UnitBuffer(unit, unit->arrivalNs);
    if (!m_bSegment) {
        // The first unit is at the timestamp offset.
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_TIME);
        segment.start = static_cast<guint64>(unit->arrivalNs);
        gst_pad_push_event(m_pSrc, gst_event_new_segment(&segment));
        m_bSegment = true;
    }
    m_pFrame = gst_buffer_list_new();
    const GstFlowReturn flow = gst_pad_push(m_pSrc, buffer);
    GstBufferList *packets = m_pFrame;
    m_pFrame = nullptr;
    if (flow != GST_FLOW_OK || gst_buffer_list_length(packets) == 0) {
        gst_buffer_list_unref(packets);
        return nullptr;
    }
    return packets;
}

GstFlowReturn CPayloader::OnChain(GstPad *pad, GstObject *, GstBuffer *buffer)
{
    auto *self = static_cast<CPayloader *>(gst_pad_get_element_private(pad));
    if (self->m_pFrame != nullptr) {
        gst_buffer_list_add(self->m_pFrame, buffer);
    } else {
        gst_buffer_unref(buffer);
    }
    return GST_FLOW_OK;
}

GstFlowReturn CPayloader::OnChainList(GstPad *pad, GstObject *, GstBufferList *list)
{
    auto *self = static_cast<CPayloader *>(gst_pad_get_element_private(pad));
    const guint n = gst_buffer_list_length(list);
    for (guint i = 0; i < n && self->m_pFrame != nullptr; ++i) {
        gst_buffer_list_add(self->m_pFrame, gst_buffer_ref(gst_buffer_list_get(list, i)));
    }
    gst_buffer_list_unref(list);
    return GST_FLOW_OK;
}

CChannelPackets::CChannelPackets(uint32_t ssrc)
    : m_nSsrc(ssrc),
      m_nFirstSeq(static_cast<uint16_t>(g_random_int())),
      m_nTimestampOffset(g_random_int()),
      m_Pay(ssrc, m_nFirstSeq, m_nTimestampOffset),
      m_nNextSeq(m_nFirstSeq)
{}

CChannelPackets::~CChannelPackets()
{
    for (Entry &e : m_Kept) {
        gst_buffer_list_unref(e.packets);
    }
}

GstBufferList *CChannelPackets::Packets(const SharedUnit &unit, bool *older)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (older != nullptr) {
        *older = false;
    }
    if (unit->arrivalNs > m_nLastNs) {
        m_nLastNs = unit->arrivalNs;
        m_nStartNs = m_nStartNs < 0 ? unit->arrivalNs : m_nStartNs;
        GstBufferList *packets = m_Pay.Make(unit);
        if (packets == nullptr) {
            return nullptr;
        }
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (gst_rtp_buffer_map(gst_buffer_list_get(packets, gst_buffer_list_length(packets) - 1), GST_MAP_READ, &rtp)) {
            m_nNextSeq = static_cast<uint16_t>(gst_rtp_buffer_get_seq(&rtp) + 1);
            gst_rtp_buffer_unmap(&rtp);
        }
        if (m_Kept.size() == kKept) {
            gst_buffer_list_unref(m_Kept.front().packets);
            m_Kept.pop_front();
        }
        m_Kept.push_back({unit, gst_buffer_list_ref(packets)});
        return packets;
    }
    // The viewers of a frame ask for it in turn: the search starts at the end.
    for (auto it = m_Kept.rbegin(); it != m_Kept.rend(); ++it) {
        if (it->unit == unit) {
            return gst_buffer_list_ref(it->packets);
        }
    }
    if (older != nullptr) {
        *older = true;
    }
    return nullptr;
}

uint32_t CChannelPackets::TimestampOf(int64_t ns) const { return m_nTimestampOffset + Ticks(ns - m_nStartNs); }

RtpStart CChannelPackets::Next()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_nStartNs < 0) {
        return {m_nNextSeq, m_nTimestampOffset};  // the first unit made is at the offset
    }
    return {m_nNextSeq, TimestampOf(std::max(SteadyNowNs(), m_nLastNs))};
}

bool CChannelPackets::Prelude(const std::vector<SharedUnit> &units, uint16_t seq, std::vector<GstBufferList *> &lists)
{
    lists.clear();
    if (units.empty()) {
        return true;
    }
    uint32_t first = 0;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_nStartNs < 0) {
            return false;
        }
        first = TimestampOf(units.front()->arrivalNs);
    }
    // A payloader of the prelude's own, its first unit at the channel's
    // time of it; numbered from 0, then moved to end before seq.
    CPayloader pay(m_nSsrc, 0, first);
    guint count = 0;
    for (const SharedUnit &u : units) {
        GstBufferList *list = pay.Make(u);
        if (list == nullptr) {
            for (GstBufferList *l : lists) {
                gst_buffer_list_unref(l);
            }
            lists.clear();
            return false;
        }
        count += gst_buffer_list_length(list);
        lists.push_back(list);
    }
    uint16_t next = static_cast<uint16_t>(seq - count);
    for (GstBufferList *list : lists) {
        for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
            SetSeq(gst_buffer_list_get(list, i), next++);
        }
    }
    return true;
}

RtpStart CChannelPackets::StartOf(GstBufferList *packets)
{
    RtpStart start;
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (packets != nullptr && gst_buffer_list_length(packets) > 0 &&
        gst_rtp_buffer_map(gst_buffer_list_get(packets, 0), GST_MAP_READ, &rtp)) {
        start = {gst_rtp_buffer_get_seq(&rtp), gst_rtp_buffer_get_timestamp(&rtp)};
        gst_rtp_buffer_unmap(&rtp);
    }
    return start;
}

size_t CChannelPackets::KeptUnits() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_Kept.size();
}

}  // namespace kn::gateway
