#include "tools/programs/gateway/rtsp/transport_sink.h"

#include <array>

#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

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

}  // namespace

CTransportSink::CTransportSink(GstRTSPStreamTransport *transport, GstRTSPClient *client, std::string peer,
                               std::shared_ptr<CChannelPackets> packets)
    : m_pTransport(GST_RTSP_STREAM_TRANSPORT(g_object_ref(transport))),
      m_Peer(std::move(peer)),
      m_pPackets(std::move(packets)),
      m_Created(std::chrono::steady_clock::now())
{
    g_weak_ref_init(&m_Client, client);
    const GstRTSPTransport *tr = gst_rtsp_stream_transport_get_transport(transport);
    GstRTSPStream *stream = gst_rtsp_stream_transport_get_stream(transport);
    if (tr == nullptr || stream == nullptr || m_pPackets == nullptr || !m_pPackets->Ready()) {
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
    m_bReady = true;
}

CTransportSink::~CTransportSink()
{
    DropWaiting();
    g_clear_object(&m_pSocket);
    g_clear_object(&m_pTo);
    g_weak_ref_clear(&m_Client);
    g_object_unref(m_pTransport);
}

RtpStart CTransportSink::Start()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (!m_bPreludeMade && m_pPackets != nullptr) {
        // Called while the channel hands out no frame: the next packets
        // made are the viewer's next.
        MakePrelude(m_pPackets->Next().seq, std::chrono::steady_clock::now());
    }
    if (m_nWaitingCount > 0) {
        return CChannelPackets::StartOf(m_Waiting[m_nWaitingFirst].packets);
    }
    return m_pPackets != nullptr ? m_pPackets->Next() : RtpStart{};
}

void CTransportSink::Begin()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_bPlaying) {
        return;
    }
    m_bPlaying = true;
    if (m_bTcp) {
        // What is handed over in one call (a frame's packets) is one message
        // on the connection, counted as it is written (the transport's one
        // such callback: the shared stream sends nothing on it).
        m_pWritten = std::make_shared<std::atomic<uint64_t>>(0);
        gst_rtsp_stream_transport_set_message_sent_full(
            m_pTransport, OnWritten, new WrittenCount(m_pWritten),
            [](gpointer data) { delete static_cast<WrittenCount *>(data); });
    }
    // What came before the answer was sent goes now, all at once.
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < m_nWaitingCount; ++i) {
        m_Waiting[(m_nWaitingFirst + i) % kFrames].at = now;
    }
    Drain();
}

bool CTransportSink::Hand(GstBufferList *packets, std::chrono::steady_clock::time_point at)
{
    if (!m_bPlaying) {
        return false;
    }
    if (!m_bTcp) {
        // UDP: each packet is sent as it is handed over.
        const guint n = gst_buffer_list_length(packets);
        for (guint i = 0; i < n; ++i) {
            SendDatagram(gst_buffer_list_get(packets, i));
        }
        gst_buffer_list_unref(packets);
        return true;
    }
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

bool CTransportSink::Push(const uint8_t *data, size_t size, int64_t)
{
    auto unit = std::make_shared<StreamUnit>();
    unit->bytes.assign(data, data + size);
    unit->arrivalNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    return Send(unit);
}

bool CTransportSink::PushShared(const SharedUnit &unit, int64_t) { return Send(unit); }

// The packets carry the channel's times (when each unit came), the same
// for every viewer: the times the hub gives each viewer are not needed.
bool CTransportSink::PushTimed(const SharedUnit &unit, const FrameTimes &) { return Send(unit); }

bool CTransportSink::Send(const SharedUnit &unit)
{
    if (!m_bReady) {
        return false;
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    const auto now = std::chrono::steady_clock::now();
    Drain();
    // A unit refused leaves a gap: the stream goes on at the next keyframe
    // whoever hands the units over, never from a broken reference.
    if (m_bNeedKeyframe && !unit->keyframe) {
        return false;
    }
    GstBufferList *packets = nullptr;
    bool older = false;
    if (m_bPlaying && Behind(now)) {
        DropWaiting();  // behind: what waits is dropped too
    } else if (!m_bPlaying && m_nWaitingCount == kFrames) {
        DropWaiting();  // no answer yet
    } else {
        packets = m_pPackets->Packets(unit, &older);
    }
    if (packets == nullptr && older && !m_bPreludeMade && m_Prelude.size() < kFrames - 1) {
        // The cached group, older than the channel's packets: the prelude,
        // made once it is known where it ends.
        m_Prelude.push_back(unit);
        m_nBytes += unit->bytes.size();
        return true;
    }
    if (packets != nullptr && !m_bPreludeMade) {
        MakePrelude(CChannelPackets::StartOf(packets).seq, now);
    }
    m_bNeedKeyframe = packets == nullptr;
    if (packets == nullptr) {
        m_Prelude.clear();
        return false;
    }
    m_nBytes += unit->bytes.size();
    Queue(packets, now);
    return true;
}

void CTransportSink::Queue(GstBufferList *packets, std::chrono::steady_clock::time_point now)
{
    if (m_nWaitingCount == 0 && Hand(packets, now)) {
        return;
    }
    if (m_nWaitingCount == kFrames) {
        gst_buffer_list_unref(packets);  // cannot happen: a full ring is behind
        return;
    }
    m_Waiting[(m_nWaitingFirst + m_nWaitingCount) % kFrames] = {packets, now};
    ++m_nWaitingCount;
}

void CTransportSink::MakePrelude(uint16_t seq, std::chrono::steady_clock::time_point now)
{
    m_bPreludeMade = true;
    if (m_Prelude.empty()) {
        return;
    }
    std::vector<GstBufferList *> lists;
    if (m_pPackets->Prelude(m_Prelude, seq, lists) && m_nWaitingCount + lists.size() <= kFrames) {
        for (GstBufferList *list : lists) {
            Queue(list, now);
        }
    } else {
        for (GstBufferList *list : lists) {
            gst_buffer_list_unref(list);
        }
    }
    m_Prelude.clear();
    m_Prelude.shrink_to_fit();
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
