#include "tools/programs/gateway/rtsp/transport_sink.h"

#include <array>

#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";
// The pieces of one packet sent without a copy (an RTP header and its
// payload's memories); a packet of more is merged first.
constexpr guint kVectors = 8;
// How long a frame may wait to be written to a viewer's connection before
// the viewer is behind. The cached group is handed over at once, so a
// viewer's start is never behind.
constexpr auto kMaxBehind = std::chrono::seconds(2);

using WrittenCount = std::shared_ptr<std::atomic<uint64_t>>;

void OnWritten(GstRTSPStreamTransport *, gpointer data) { (*static_cast<WrittenCount *>(data))->fetch_add(1); }

gboolean CloseClient(gpointer data)
{
    gst_rtsp_client_close(GST_RTSP_CLIENT(data));
    return G_SOURCE_REMOVE;
}

// The payloader's events (caps, segment) end here: the packets are all
// this side takes.
gboolean OnEvent(GstPad *, GstObject *, GstEvent *event)
{
    gst_event_unref(event);
    return TRUE;
}

}  // namespace

CTransportSink::CTransportSink(GstRTSPStreamTransport *transport, GstRTSPClient *client, std::string peer,
                               const RtpStart &start)
    : m_pTransport(GST_RTSP_STREAM_TRANSPORT(g_object_ref(transport))),
      m_Peer(std::move(peer)),
      m_Start(start),
      m_Created(std::chrono::steady_clock::now())
{
    g_weak_ref_init(&m_Client, client);
    const GstRTSPTransport *tr = gst_rtsp_stream_transport_get_transport(transport);
    GstRTSPStream *stream = gst_rtsp_stream_transport_get_stream(transport);
    if (tr == nullptr || stream == nullptr) {
        return;
    }
    m_bTcp = tr->lower_transport == GST_RTSP_LOWER_TRANS_TCP;
    if (!m_bTcp) {
        GInetAddress *to = tr->lower_transport == GST_RTSP_LOWER_TRANS_UDP && tr->destination != nullptr
                               ? g_inet_address_new_from_string(tr->destination)
                               : nullptr;
        if (to == nullptr) {
            return;
        }
        m_pTo = g_inet_socket_address_new(to, static_cast<guint16>(tr->client_port.min));
        m_pSocket = gst_rtsp_stream_get_rtp_socket(stream, g_inet_address_get_family(to));
        g_object_unref(to);
        if (m_pSocket == nullptr) {
            return;
        }
    }
    GstElement *pay = gst_element_factory_make("rtph264pay", nullptr);
    if (pay == nullptr) {
        return;
    }
    // The media's SSRC, as the SETUP answer named it to the client.
    guint ssrc = 0;
    gst_rtsp_stream_get_ssrc(stream, &ssrc);
    g_object_set(pay, "pt", 96, "config-interval", -1, "seqnum-offset", static_cast<gint>(start.seq),
                 "timestamp-offset", static_cast<guint>(start.rtptime), "ssrc", ssrc, nullptr);
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

CTransportSink::~CTransportSink()
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
    DropWaiting();
    g_clear_object(&m_pSocket);
    g_clear_object(&m_pTo);
    g_weak_ref_clear(&m_Client);
    g_object_unref(m_pTransport);
}

void CTransportSink::Begin()
{
    if (!m_bTcp || m_pWritten != nullptr) {
        return;
    }
    // What is handed over in one call (a packet, or a frame's packets) is
    // one message on the connection, counted as it is written (the
    // transport's one such callback: the shared stream sends nothing on it).
    m_pWritten = std::make_shared<std::atomic<uint64_t>>(0);
    gst_rtsp_stream_transport_set_message_sent_full(m_pTransport, OnWritten, new WrittenCount(m_pWritten),
                                                    [](gpointer data) { delete static_cast<WrittenCount *>(data); });
}

bool CTransportSink::Hand(GstBufferList *packets, std::chrono::steady_clock::time_point at)
{
    if (m_nHandedCount == kFrames || !gst_rtsp_stream_transport_send_rtp_list(m_pTransport, packets)) {
        return false;
    }
    m_Handed[(m_nHandedFirst + m_nHandedCount) % kFrames] = {++m_nHanded, at};
    ++m_nHandedCount;
    gst_buffer_list_unref(packets);
    return true;
}

void CTransportSink::Drain()
{
    const uint64_t written = m_pWritten != nullptr ? m_pWritten->load() : m_nHanded;
    while (m_nHandedCount > 0 && m_Handed[m_nHandedFirst].index <= written) {
        m_nHandedFirst = (m_nHandedFirst + 1) % kFrames;
        --m_nHandedCount;
    }
    while (m_nWaitingCount > 0 && Hand(m_Waiting[m_nWaitingFirst].packets, m_Waiting[m_nWaitingFirst].at)) {
        m_nWaitingFirst = (m_nWaitingFirst + 1) % kFrames;
        --m_nWaitingCount;
    }
}

void CTransportSink::DropWaiting()
{
    for (; m_nWaitingCount > 0; --m_nWaitingCount) {
        gst_buffer_list_unref(m_Waiting[m_nWaitingFirst].packets);
        m_nWaitingFirst = (m_nWaitingFirst + 1) % kFrames;
    }
}

bool CTransportSink::Behind(std::chrono::steady_clock::time_point now)
{
    if (m_nWaitingCount == kFrames) {
        return true;
    }
    const Handed *oldest = m_nHandedCount > 0 ? &m_Handed[m_nHandedFirst] : nullptr;
    const auto since = oldest != nullptr ? oldest->at : m_nWaitingCount > 0 ? m_Waiting[m_nWaitingFirst].at : now;
    return now - since > kMaxBehind;
}

int64_t CTransportSink::RunningTimeNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m_Created).count();
}

bool CTransportSink::Push(const uint8_t *data, size_t size, int64_t ptsNs)
{
    GstBuffer *buffer = gst_buffer_new_memdup(data, size);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(ptsNs);
    return Send(buffer);
}

bool CTransportSink::PushShared(const SharedUnit &unit, int64_t ptsNs) { return Send(UnitBuffer(unit, ptsNs)); }

bool CTransportSink::PushTimed(const SharedUnit &unit, const FrameTimes &times)
{
    return Send(UnitBuffer(unit, times.ptsNs, times.dtsNs));
}

bool CTransportSink::Send(GstBuffer *buffer)
{
    if (m_pPay == nullptr) {
        gst_buffer_unref(buffer);
        return false;
    }
    if (!m_bSegment) {
        // The first frame is at the RTP time the PLAY answer gave.
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_TIME);
        segment.start = GST_BUFFER_PTS(buffer);
        gst_pad_push_event(m_pSrc, gst_event_new_segment(&segment));
        m_bSegment = true;
    }
    const uint64_t size = gst_buffer_get_size(buffer);
    if (!m_bTcp) {
        const bool sent = gst_pad_push(m_pSrc, buffer) == GST_FLOW_OK;  // each packet sent as it is made
        m_nBytes += sent ? size : 0;
        return sent;
    }
    const auto now = std::chrono::steady_clock::now();
    Drain();
    if (Behind(now)) {
        // Behind: what waits is dropped too, the stream goes on at the
        // next keyframe.
        DropWaiting();
        gst_buffer_unref(buffer);
        return false;
    }
    m_pFrame = gst_buffer_list_new();
    const GstFlowReturn flow = gst_pad_push(m_pSrc, buffer);
    GstBufferList *packets = m_pFrame;
    m_pFrame = nullptr;
    if (flow != GST_FLOW_OK || gst_buffer_list_length(packets) == 0) {
        gst_buffer_list_unref(packets);
        return flow == GST_FLOW_OK;
    }
    m_nBytes += size;
    if (m_nWaitingCount == 0 && Hand(packets, now)) {
        return true;
    }
    m_Waiting[(m_nWaitingFirst + m_nWaitingCount) % kFrames] = {packets, now};
    ++m_nWaitingCount;
    return true;
}

void CTransportSink::SendDatagram(GstBuffer *packet)
{
    // UDP: a datagram the kernel cannot take now is lost, as on the wire.
    std::array<GstMapInfo, kVectors> maps{};
    std::array<GOutputVector, kVectors> vectors{};
    GstBuffer *merged = nullptr;
    guint n = gst_buffer_n_memory(packet);
    if (n > kVectors) {
        merged = gst_buffer_new();
        gst_buffer_append_memory(merged, gst_buffer_get_all_memory(packet));
        packet = merged;
        n = 1;
    }
    guint mapped = 0;
    for (; mapped < n; ++mapped) {
        if (!gst_memory_map(gst_buffer_peek_memory(packet, mapped), &maps[mapped], GST_MAP_READ)) {
            break;
        }
        vectors[mapped] = {maps[mapped].data, maps[mapped].size};
    }
    if (mapped == n) {
        g_socket_send_message_with_timeout(m_pSocket, m_pTo, vectors.data(), static_cast<gint>(n), nullptr, 0, 0, 0,
                                           nullptr, nullptr, nullptr);
    }
    for (guint i = 0; i < mapped; ++i) {
        gst_memory_unmap(gst_buffer_peek_memory(packet, i), &maps[i]);
    }
    if (merged != nullptr) {
        gst_buffer_unref(merged);
    }
}

GstFlowReturn CTransportSink::OnChain(GstPad *pad, GstObject *, GstBuffer *buffer)
{
    auto *self = static_cast<CTransportSink *>(gst_pad_get_element_private(pad));
    if (self->m_pFrame != nullptr) {
        gst_buffer_list_add(self->m_pFrame, buffer);
        return GST_FLOW_OK;
    }
    if (!self->m_bTcp) {
        self->SendDatagram(buffer);
    }
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
}

GstFlowReturn CTransportSink::OnChainList(GstPad *pad, GstObject *, GstBufferList *list)
{
    auto *self = static_cast<CTransportSink *>(gst_pad_get_element_private(pad));
    const guint n = gst_buffer_list_length(list);
    for (guint i = 0; i < n; ++i) {
        GstBuffer *packet = gst_buffer_list_get(list, i);
        if (self->m_pFrame != nullptr) {
            gst_buffer_list_add(self->m_pFrame, gst_buffer_ref(packet));
        } else if (!self->m_bTcp) {
            self->SendDatagram(packet);
        }
    }
    gst_buffer_list_unref(list);
    return GST_FLOW_OK;
}

void CTransportSink::End()
{
    // Closing a client ends its session, which leaves the channel: always
    // from the main loop, never from inside this call.
    if (GObject *client = static_cast<GObject *>(g_weak_ref_get(&m_Client))) {
        GSource *source = g_idle_source_new();
        g_source_set_callback(source, CloseClient, client, g_object_unref);
        g_source_attach(source, nullptr);
        g_source_unref(source);
    }
}

}  // namespace kn::gateway
