#include "tools/programs/gateway/rtsp/rtsp_front.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "tools/programs/gateway/access/tls_identity.h"
#include "tools/programs/gateway/rtsp/rtsp_auth.h"
#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/archive/playback_feed.h"
#include "tools/programs/gateway/rtsp/transport_sink.h"
#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

// A live channel's units come parsed, a keyframe always with its parameter
// sets in front, and shared with every client (no copy): the payloader
// reads its parameter sets from the first keyframe, for the session
// description too, and a live client's media drops the parser (see
// OnMediaConfigure). The same pipeline also serves a recording (?start=),
// whose units come from the playback feed as the recorder sent them: there
// the parser in front of the payloader gives the session description its
// parameter sets from the first keyframe whatever the order in which the
// media is prepared.
constexpr const char *kLaunch =
    "( appsrc name=src is-live=true format=time do-timestamp=false ! h264parse name=parse ! "
    "rtph264pay name=pay0 pt=96 config-interval=-1 aggregate-mode=zero-latency )";
// No frame rate: frames are timed as they arrive.
constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";
// A viewer on TCP that falls behind loses its frames up to the next keyframe
// (see CTransportSink). What the kernel may hold unsent for it beyond that:
// the send buffer the kernel grows would hold tens of seconds of a stream.
// The bytes in flight are not bounded by it, only those a stalled client
// has not taken.
constexpr int kClientUnsentBytes = 32 << 10;
constexpr const char *kRole = kRtspRole;
// Each client is served on a thread of its own, so that one waiting for its
// first keyframe never holds up another.
constexpr int kClientThreads = 64;

// A live client's units need no parsing (see kLaunch): the appsrc feeds the
// payloader directly, one element less to pass every unit through.
void DropParser(GstBin *bin, GstElement *appsrc)
{
    GstElement *parse = gst_bin_get_by_name(bin, "parse");
    GstElement *pay = gst_bin_get_by_name(bin, "pay0");
    if (parse != nullptr && pay != nullptr && appsrc != nullptr) {
        gst_element_unlink_many(appsrc, parse, pay, nullptr);
        gst_bin_remove(bin, parse);
        if (!gst_element_link(appsrc, pay)) {
            GST_ELEMENT_ERROR(appsrc, CORE, NEGOTIATION, ("cannot link the payloader"), (nullptr));
        }
    }
    for (GstElement *e : {parse, pay}) {
        if (e != nullptr) {
            gst_object_unref(e);
        }
    }
}

std::string PeerOf(GstRTSPClient *client)
{
    if (GstRTSPConnection *conn = client != nullptr ? gst_rtsp_client_get_connection(client) : nullptr) {
        if (const gchar *ip = gst_rtsp_connection_get_ip(conn)) {
            return ip;
        }
    }
    return "?";
}

// A channel's shared media is made for its first client, as its DESCRIBE
// is answered, and prepared with the channel's first keyframe: its
// parameter sets make the session description. The media's own stream
// never reaches a client (see DropSharedOutput). The first client's reader
// of the channel is opened then, as a client's always was: what it is sent
// before its PLAY waits here and goes to its own stream (CTransportSink)
// as its PLAY is answered. Later clients open their readers then.
class CFirstViewerSink final : public IClientSink {
public:
    CFirstViewerSink(GstElement *appsrc, std::string peer)
        : m_pAppSrc(appsrc), m_Peer(std::move(peer)), m_Created(std::chrono::steady_clock::now())
    {
        m_Waiting.reserve(kWaitingFrames);
    }
    ~CFirstViewerSink() override { gst_object_unref(m_pAppSrc); }

    const char *Front() const override { return "rtsp"; }
    int64_t RunningTimeNs() override
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m_Created)
            .count();
    }
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override
    {
        auto unit = std::make_shared<StreamUnit>();
        unit->bytes.assign(data, data + size);
        return PushTimed(unit, FrameTimes{ptsNs, ptsNs});
    }
    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override
    {
        return PushTimed(unit, FrameTimes{ptsNs, ptsNs});
    }
    bool PushTimed(const SharedUnit &unit, const FrameTimes &times) override
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (!m_bPrimed) {
            GstBuffer *buffer = UnitBuffer(unit, 0);
            m_bPrimed = gst_app_src_push_buffer(GST_APP_SRC(m_pAppSrc), buffer) == GST_FLOW_OK;
        }
        if (m_pViewer != nullptr) {
            return m_pViewer->PushTimed(unit, times);
        }
        if (m_Waiting.size() == kWaitingFrames) {
            m_Waiting.clear();  // no PLAY yet: it starts again at the next keyframe
            return false;
        }
        m_Waiting.push_back({unit, times});
        return true;
    }
    void End() override
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_pViewer != nullptr) {
            m_pViewer->End();
        } else if (!m_bPrimed) {
            // The DESCRIBE is pending: failing the pipeline answers it at once.
            GST_ELEMENT_ERROR(m_pAppSrc, RESOURCE, READ, ("the recorder's stream is lost"), (nullptr));
        }
        m_bEnded = true;
    }
    std::string Peer() const override { return m_Peer; }
    size_t StartFrames() const override { return kDeepStartFrames; }

    // The client's PLAY is answered: what waited goes to its stream, then
    // the rest. False when the channel ended meanwhile.
    bool Play(const std::shared_ptr<CTransportSink> &viewer)
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_pViewer = viewer;
        for (const auto &[unit, times] : m_Waiting) {
            if (!viewer->PushTimed(unit, times)) {
                break;  // the hub starts it again at a keyframe with its next refusal
            }
        }
        m_Waiting.clear();
        return !m_bEnded;
    }

private:
    // What a client may be sent before it plays: more than a group.
    static constexpr size_t kWaitingFrames = 256;

    GstElement *m_pAppSrc;
    std::string m_Peer;
    std::chrono::steady_clock::time_point m_Created;
    std::mutex m_Mutex;
    bool m_bPrimed = false;
    bool m_bEnded = false;
    std::vector<std::pair<SharedUnit, FrameTimes>> m_Waiting;
    std::shared_ptr<CTransportSink> m_pViewer;
};

// What a channel's shared media keeps until its first client plays: that
// client's reader of the channel's stream.
struct MediaFeed {
    std::unique_ptr<CStreamReader> reader;
    std::shared_ptr<CFirstViewerSink> sink;
    std::string recorder;
    int channel;
};

constexpr const char *kFeedKey = "kestrel-feed";

void LogJoined(const CStreamReader &reader, const std::string &recorder, int channel, const std::string &peer)
{
    const std::shared_ptr<CChannelHub> hub = reader.Stream();
    const int clients = hub != nullptr ? hub->Counts().clients : 0;
    Log("%s: channel %d: client %s joined (%d client%s)", recorder.c_str(), channel, peer.c_str(), clients,
        clients == 1 ? "" : "s");
}

void Leave(std::unique_ptr<CStreamReader> &reader, const std::string &recorder, int channel, const std::string &peer)
{
    if (reader == nullptr) {
        return;
    }
    const std::shared_ptr<CChannelHub> hub = reader->Stream();
    reader.reset();
    if (hub != nullptr) {
        const int left = hub->Counts().clients;
        Log("%s: channel %d: client %s left (%d client%s)", recorder.c_str(), channel, peer.c_str(), left,
            left == 1 ? "" : "s");
    }
}

void FreeFeed(gpointer data)
{
    auto *feed = static_cast<MediaFeed *>(data);
    Leave(feed->reader, feed->recorder, feed->channel, feed->sink->Peer());
    delete feed;
}

// The shared payloader's packets and the shared session's reports go to no
// client: they would be a second stream under the viewers' own SSRC. The
// first packet, held while the media prepares, finds the session's pads:
// the drops are in place before it goes on.
constexpr GstPadProbeType kDataProbe =
    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST);

GstPadProbeReturn DropSharedOutput(GstPad *pad, GstPadProbeInfo *, gpointer)
{
    // The payloader's pad is ghosted on the media's bin; the ghost pad's peer
    // is the session's.
    GstPad *peer = gst_pad_get_peer(pad);
    if (peer != nullptr && GST_IS_GHOST_PAD(GST_OBJECT_PARENT(peer))) {
        GstPad *ghost = GST_PAD(GST_OBJECT_PARENT(peer));
        gst_object_unref(peer);
        peer = gst_pad_get_peer(ghost);
    }
    GstElement *rtpbin = peer != nullptr ? gst_pad_get_parent_element(peer) : nullptr;
    if (rtpbin != nullptr) {
        for (const char *name : {"send_rtp_src_0", "send_rtcp_src_0"}) {
            if (GstPad *out = gst_element_get_static_pad(rtpbin, name)) {
                gst_pad_add_probe(
                    out, kDataProbe, [](GstPad *, GstPadProbeInfo *, gpointer) { return GST_PAD_PROBE_DROP; }, nullptr,
                    nullptr);
                gst_object_unref(out);
            }
        }
        gst_object_unref(rtpbin);
    }
    if (peer != nullptr) {
        gst_object_unref(peer);
    }
    return GST_PAD_PROBE_REMOVE;
}

// What a mounted channel's factory holds: where to open its readers.
struct MountedChannel {
    ISiteDirectory *directory;
    std::string recorder;
    int channel;
};

// A live channel's media is shared by its viewers: made once, with its
// parser dropped (see kLaunch), its stream kept from the clients, and
// prepared with the channel's first keyframe.
void OnMediaConfigure(GstRTSPMediaFactory *factory, GstRTSPMedia *media, gpointer data)
{
    const auto *mounted = static_cast<const MountedChannel *>(data);
    if (ConfigurePlayback(factory, media, mounted->channel)) {
        gst_rtsp_media_set_shared(media, FALSE);  // a recording, each client's own
        return;
    }
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *appsrc = gst_bin_get_by_name(GST_BIN(bin), "src");
    DropParser(GST_BIN(bin), appsrc);
    if (GstElement *pay = gst_bin_get_by_name(GST_BIN(bin), "pay0")) {
        GstPad *src = gst_element_get_static_pad(pay, "src");
        gst_pad_add_probe(src, kDataProbe, DropSharedOutput, nullptr, nullptr);
        gst_object_unref(src);
        gst_object_unref(pay);
    }
    gst_object_unref(bin);
    if (appsrc == nullptr) {
        return;
    }
    GstCaps *caps = gst_caps_from_string(kCaps);
    g_object_set(appsrc, "caps", caps, "block", FALSE, nullptr);
    gst_caps_unref(caps);
    GstRTSPContext *ctx = gst_rtsp_context_get_current();
    auto *feed = new MediaFeed{
        nullptr, std::make_shared<CFirstViewerSink>(appsrc, PeerOf(ctx != nullptr ? ctx->client : nullptr)),
        mounted->recorder, mounted->channel};
    g_object_set_data_full(G_OBJECT(media), kFeedKey, feed, FreeFeed);
    // Unprepared (its last client gone) before its first client played.
    g_signal_connect(media, "unprepared",
                     G_CALLBACK(+[](GstRTSPMedia *m, gpointer) { g_object_set_data(G_OBJECT(m), kFeedKey, nullptr); }),
                     nullptr);
    ReaderOptions options;
    options.startNow = true;
    feed->reader = mounted->directory->OpenReader(mounted->recorder, mounted->channel, feed->sink, options);
    if (feed->reader == nullptr) {
        GST_ELEMENT_ERROR(appsrc, RESOURCE, NOT_FOUND, ("the channel is no longer served"), (nullptr));
        return;
    }
    LogJoined(*feed->reader, mounted->recorder, mounted->channel, feed->sink->Peer());
}

// What a viewer's session keeps: its sink, made as it asks to play, and its
// reader of the channel's stream, opened as the PLAY answer is made.
struct Viewer {
    std::shared_ptr<CTransportSink> sink;
    std::unique_ptr<CStreamReader> reader;
    ISiteDirectory *directory;
    std::string recorder;
    int channel;
    bool answered = false;  // its PLAY answer is made: the reader is open
    bool served = false;    // the reader opened, on a channel still served
    std::string user;       // for the audit's line when the viewer ends
    bool begun = false;     // its PLAY answer is sent
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
};

constexpr const char *kViewerKey = "kestrel-viewer";

void FreeViewer(gpointer data)
{
    auto *viewer = static_cast<Viewer *>(data);
    const bool played = viewer->reader != nullptr;
    Leave(viewer->reader, viewer->recorder, viewer->channel, viewer->sink->Peer());
    // The audit's line of a media stream that ended: how long, how much.
    if (const CAccess &access = viewer->directory->Access(); played && access.Auditing()) {
        AuditRecord r{"rtsp", viewer->user, viewer->sink->Peer(), viewer->recorder, viewer->channel, "view", true, ""};
        r.ended = true;
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - viewer->since).count();
        r.bytes = viewer->sink->BytesSent();
        access.Audit(r);
    }
    delete viewer;
}

void FreeMounted(gpointer data, GClosure *) { delete static_cast<MountedChannel *>(data); }

gboolean CleanupSessions(gpointer data)
{
    for (GstRTSPServer *server : *static_cast<std::vector<GstRTSPServer *> *>(data)) {
        GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool(server);
        gst_rtsp_session_pool_cleanup(pool);
        g_object_unref(pool);
    }
    return G_SOURCE_CONTINUE;
}

std::string MountPath(const std::string &name, int channel) { return "/" + name + "/" + std::to_string(channel); }

// Whom the request's credentials name ("" when none were asked for).
std::string UserOf(const GstRTSPContext *ctx) { return RtspUserOf(ctx); }

// The recorder and channel a request's path names: /NAME/CH, or
// /NAME/CH/stream=0 as a client names the stream.
void ChannelOf(const GstRTSPContext *ctx, std::string &name, int &channel)
{
    name.clear();
    channel = -1;
    if (ctx->uri != nullptr && ctx->uri->abspath != nullptr) {
        const std::string path = ctx->uri->abspath;
        const size_t slash = path.find('/', 1);
        if (slash != std::string::npos) {
            name = path.substr(1, slash - 1);
            channel = std::atoi(path.c_str() + slash + 1);
        }
    }
}

// Before a client's stream is described and set up: the access decision,
// for the live video (view) or a recording (?start=: archive).
GstRTSPStatusCode OnPreSetup(GstRTSPClient *, GstRTSPContext *ctx, gpointer data)
{
    const auto *directory = static_cast<const ISiteDirectory *>(data);
    std::string name;
    int channel = -1;
    ChannelOf(ctx, name, channel);
    const bool archive =
        ctx->uri != nullptr && ctx->uri->query != nullptr && std::strstr(ctx->uri->query, "start=") != nullptr;
    if (RtspMay(*directory, ctx, archive ? Action::Archive : Action::View, name, channel)) {
        return GST_RTSP_STS_OK;
    }
    return UserOf(ctx).empty() && directory->Access().LoginNeeded() ? GST_RTSP_STS_UNAUTHORIZED
                                                                    : GST_RTSP_STS_FORBIDDEN;
}

constexpr const char *kPlayedKey = "kestrel-played";

// A recording's playback is steered (paused, resumed, moved with a Range)
// by PAUSE and every PLAY after the first: the access decision for control.
GstRTSPStatusCode Steer(GstRTSPContext *ctx, const ISiteDirectory &directory, bool pause)
{
    if (ctx->sessmedia == nullptr) {
        return GST_RTSP_STS_OK;
    }
    GstRTSPMedia *media = gst_rtsp_session_media_get_media(ctx->sessmedia);
    if (media == nullptr || !IsPlayback(media) ||
        (!pause && g_object_get_data(G_OBJECT(ctx->sessmedia), kPlayedKey) == nullptr)) {
        return GST_RTSP_STS_OK;  // live video, or a playback's first PLAY
    }
    std::string name;
    int channel = -1;
    ChannelOf(ctx, name, channel);
    return RtspMay(directory, ctx, Action::Control, name, channel) ? GST_RTSP_STS_OK : GST_RTSP_STS_FORBIDDEN;
}

GstRTSPStatusCode OnPrePause(GstRTSPClient *, GstRTSPContext *ctx, gpointer data)
{
    return Steer(ctx, *static_cast<const ISiteDirectory *>(data), true);
}

constexpr const char *kPacketsKey = "kestrel-packets";

void FreePackets(gpointer data) { delete static_cast<std::shared_ptr<CChannelPackets> *>(data); }

// The channel's packets, made once for every viewer of its shared media,
// under the media's SSRC (as the SETUP answers named it to the clients).
std::shared_ptr<CChannelPackets> PacketsOf(GstRTSPMedia *media, GstRTSPStreamTransport *transport)
{
    static std::mutex made;
    std::lock_guard<std::mutex> lk(made);
    if (auto *kept = static_cast<std::shared_ptr<CChannelPackets> *>(g_object_get_data(G_OBJECT(media), kPacketsKey))) {
        return *kept;
    }
    guint ssrc = 0;
    if (GstRTSPStream *stream = gst_rtsp_stream_transport_get_stream(transport)) {
        gst_rtsp_stream_get_ssrc(stream, &ssrc);
    }
    auto packets = std::make_shared<CChannelPackets>(ssrc);
    g_object_set_data_full(G_OBJECT(media), kPacketsKey, new std::shared_ptr<CChannelPackets>(packets), FreePackets);
    return packets;
}

// A live viewer's first PLAY: its sink, on the transport its SETUP made,
// sending the channel's packets.
GstRTSPStatusCode OnPrePlay(GstRTSPClient *client, GstRTSPContext *ctx, gpointer data)
{
    auto *directory = static_cast<ISiteDirectory *>(data);
    const GstRTSPStatusCode code = Steer(ctx, *directory, false);
    if (code != GST_RTSP_STS_OK || ctx->sessmedia == nullptr ||
        g_object_get_data(G_OBJECT(ctx->sessmedia), kViewerKey) != nullptr) {
        return code;
    }
    GstRTSPMedia *media = gst_rtsp_session_media_get_media(ctx->sessmedia);
    GstRTSPStreamTransport *transport = gst_rtsp_session_media_get_transport(ctx->sessmedia, 0);
    if (media == nullptr || IsPlayback(media) || transport == nullptr) {
        return code;
    }
    auto *viewer = new Viewer{nullptr, nullptr, directory, "", -1, false, false, RtspUserOf(ctx)};
    ChannelOf(ctx, viewer->recorder, viewer->channel);
    viewer->sink = std::make_shared<CTransportSink>(transport, client, PeerOf(client), PacketsOf(media, transport));
    g_object_set_data_full(G_OBJECT(ctx->sessmedia), kViewerKey, viewer, FreeViewer);
    return viewer->sink->Ready() ? code : GST_RTSP_STS_INTERNAL_SERVER_ERROR;
}

// The viewer's reader of the channel's stream, as its PLAY answer is made:
// what it takes until it plays waits in its sink. False when the channel is
// no longer served, or ended meanwhile.
bool OpenViewer(Viewer &viewer, GstRTSPMedia *media)
{
    auto *feed = media != nullptr ? static_cast<MediaFeed *>(g_object_get_data(G_OBJECT(media), kFeedKey)) : nullptr;
    if (feed != nullptr && feed->reader != nullptr) {
        // The media's first client: its reader came with its DESCRIBE.
        viewer.reader = std::move(feed->reader);
        const bool served = feed->sink->Play(viewer.sink);
        g_object_set_data(G_OBJECT(media), kFeedKey, nullptr);
        return served;
    }
    ReaderOptions options;
    options.startNow = true;
    viewer.reader = viewer.directory->OpenReader(viewer.recorder, viewer.channel, viewer.sink, options);
    if (viewer.reader == nullptr) {
        return false;
    }
    LogJoined(*viewer.reader, viewer.recorder, viewer.channel, viewer.sink->Peer());
    return true;
}

// The PLAY answer names where the viewer's stream begins: the first packet
// it takes, the cached group's first when there is one.
void OnSendMessage(GstRTSPClient *, GstRTSPContext *ctx, GstRTSPMessage *message, gpointer)
{
    // Only a PLAY answer has RTP-Info (the context's session media is
    // already gone when a TEARDOWN is answered).
    gchar *info = nullptr;
    if (ctx == nullptr || ctx->sessmedia == nullptr ||
        gst_rtsp_message_get_type(message) != GST_RTSP_MESSAGE_RESPONSE ||
        gst_rtsp_message_get_header(message, GST_RTSP_HDR_RTP_INFO, &info, 0) != GST_RTSP_OK) {
        return;
    }
    auto *viewer = static_cast<Viewer *>(g_object_get_data(G_OBJECT(ctx->sessmedia), kViewerKey));
    if (viewer == nullptr || viewer->answered) {
        return;
    }
    viewer->answered = true;
    viewer->served = OpenViewer(*viewer, gst_rtsp_session_media_get_media(ctx->sessmedia));
    // Where the stream begins is read while the channel hands out no frame:
    // the packets made next are the viewer's next.
    RtpStart start;
    const std::shared_ptr<CChannelHub> hub = viewer->reader != nullptr ? viewer->reader->Stream() : nullptr;
    if (hub != nullptr) {
        hub->Hold([&] { start = viewer->sink->Start(); });
    } else {
        start = viewer->sink->Start();
    }
    std::string url = info;
    url = url.substr(0, url.find(';'));
    const std::string value = url + ";seq=" + std::to_string(start.seq) + ";rtptime=" + std::to_string(start.rtptime);
    gst_rtsp_message_remove_header(message, GST_RTSP_HDR_RTP_INFO, -1);
    gst_rtsp_message_add_header(message, GST_RTSP_HDR_RTP_INFO, value.c_str());
}

// Once the PLAY answer is sent, the viewer's stream begins: the cached
// group at once, then the channel's frames as they come.
void OnPlayed(GstRTSPClient *client, GstRTSPContext *ctx, gpointer)
{
    if (ctx->sessmedia == nullptr) {
        return;
    }
    g_object_set_data(G_OBJECT(ctx->sessmedia), kPlayedKey, GINT_TO_POINTER(1));
    auto *viewer = static_cast<Viewer *>(g_object_get_data(G_OBJECT(ctx->sessmedia), kViewerKey));
    if (viewer == nullptr || !viewer->answered || viewer->begun) {
        return;
    }
    viewer->begun = true;
    if (!viewer->served) {
        gst_rtsp_client_close(client);  // the channel is no longer served, or ended meanwhile
        return;
    }
    viewer->sink->Begin();
}

void OnClientConnected(GstRTSPServer *, GstRTSPClient *client, gpointer data)
{
    g_signal_connect(client, "pre-describe-request", G_CALLBACK(OnPreSetup), data);
    if (GstRTSPConnection *conn = gst_rtsp_client_get_connection(client)) {
        if (GSocket *socket = gst_rtsp_connection_get_write_socket(conn)) {
            const int unsent = kClientUnsentBytes;
            setsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, sizeof unsent);
        }
    }
    g_signal_connect(client, "pre-setup-request", G_CALLBACK(OnPreSetup), data);
    g_signal_connect(client, "pre-pause-request", G_CALLBACK(OnPrePause), data);
    g_signal_connect(client, "pre-play-request", G_CALLBACK(OnPrePlay), data);
    g_signal_connect(client, "play-request", G_CALLBACK(OnPlayed), nullptr);
    g_signal_connect(client, "send-message", G_CALLBACK(OnSendMessage), nullptr);
}

}  // namespace

CRtspFront::CRtspFront(const SiteConfig &site, ISiteDirectory &directory) : m_Site(site), m_Directory(directory) {}

std::unique_ptr<IFront> MakeRtspFront(const SiteConfig &site, ISiteDirectory &directory)
{
    return std::make_unique<CRtspFront>(site, directory);
}

CRtspFront::~CRtspFront()
{
    StopListening();
    if (m_bObserving) {
        m_Directory.RemoveObserver(this);
    }
    for (GstRTSPServer *server : m_Servers) {
        g_object_unref(server);
    }
    if (m_pMounts != nullptr) {
        g_object_unref(m_pMounts);
    }
    if (m_pTlsAuth != nullptr) {
        g_object_unref(m_pTlsAuth);
    }
    if (m_pCertificate != nullptr) {
        g_object_unref(m_pCertificate);
    }
}

bool CRtspFront::Start(std::string &message)
{
    m_pMounts = gst_rtsp_mount_points_new();
    // One authentication for the RTSPS listeners (with the certificate),
    // one for the plain ones; both ask the site's CAccess.
    const CAccess &access = m_Directory.Access();
    if (m_Site.Tls()) {
        m_pCertificate = LoadTlsIdentity(m_Site.tlsCertificate, m_Site.tlsKey, message);
        if (m_pCertificate == nullptr) {
            return false;
        }
        m_pTlsAuth = MakeRtspAuth(access, m_pCertificate);
    }
    // An open site's plain listeners ask nothing.
    GstRTSPAuth *plainAuth = access.LoginNeeded() ? MakeRtspAuth(access, nullptr) : nullptr;
    std::vector<std::pair<ListenAddress, bool>> listeners;  // address, TLS
    for (const ListenAddress &l : m_Site.listen) {
        listeners.emplace_back(l, m_Site.Tls());
    }
    for (const ListenAddress &l : m_Site.Tls() ? m_Site.plainListen : std::vector<ListenAddress>{}) {
        listeners.emplace_back(l, false);
    }
    const char *how = access.LoginNeeded()
                          ? (access.PasswordUsers().empty() ? " (clients authenticate: basic)"
                                                            : " (clients authenticate: digest or basic)")
                          : "";
    bool ok = true;
    for (const auto &[l, tls] : listeners) {
        GstRTSPServer *server = gst_rtsp_server_new();
        m_Servers.push_back(server);
        gst_rtsp_server_set_address(server, l.address.c_str());
        const std::string service = std::to_string(l.port);
        gst_rtsp_server_set_service(server, service.c_str());
        gst_rtsp_server_set_mount_points(server, m_pMounts);
        GstRTSPThreadPool *pool = gst_rtsp_server_get_thread_pool(server);
        gst_rtsp_thread_pool_set_max_threads(pool, kClientThreads);
        g_object_unref(pool);
        if (GstRTSPAuth *auth = tls ? m_pTlsAuth : plainAuth) {
            gst_rtsp_server_set_auth(server, auth);
        }
        g_signal_connect(server, "client-connected", G_CALLBACK(OnClientConnected), &m_Directory);
        // Made and attached in two steps (what gst_rtsp_server_attach does)
        // so that a refusal says why.
        GError *error = nullptr;
        GSource *listener = gst_rtsp_server_create_source(server, nullptr, &error);
        if (listener == nullptr) {
            message = "cannot listen for RTSP on " + l.address + ":" + service + ": " +
                      (error != nullptr ? error->message : "address in use or not local");
            g_clear_error(&error);
            ok = false;
            break;
        }
        const unsigned source = g_source_attach(listener, nullptr);
        g_source_unref(listener);
        m_Sources.push_back(source);
        m_Ports.push_back(static_cast<uint16_t>(gst_rtsp_server_get_bound_port(server)));
        Log("listening on %s://%s:%u/%s", tls ? "rtsps" : "rtsp", l.address.c_str(),
            static_cast<unsigned>(m_Ports.back()),
            tls && access.LoginNeeded() ? " (clients authenticate: basic)" : how);
    }
    if (plainAuth != nullptr) {
        g_object_unref(plainAuth);
    }
    if (ok) {
        m_nCleanupSource = g_timeout_add_seconds(2, CleanupSessions, &m_Servers);
        m_Directory.AddObserver(this);
        m_bObserving = true;
    }
    return ok;
}

void CRtspFront::RecorderAdded(const RecorderEntry &recorder) { Mount(recorder, 0); }

// Channels added are mounted and removed ones unmounted; the clients of the
// others keep their streams.
void CRtspFront::RecorderChanged(const RecorderEntry &recorder, int channelsBefore)
{
    for (int ch = recorder.channels; ch < channelsBefore; ++ch) {
        gst_rtsp_mount_points_remove_factory(m_pMounts, MountPath(recorder.name, ch).c_str());
    }
    Mount(recorder, channelsBefore);
}

void CRtspFront::Mount(const RecorderEntry &recorder, int firstChannel)
{
    if (firstChannel >= recorder.channels) {
        return;
    }
    for (int ch = firstChannel; ch < recorder.channels; ++ch) {
        GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, kLaunch);
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        // Over RTSPS the media goes in the TLS connection only, never as
        // clear RTP over UDP.
        gst_rtsp_media_factory_set_protocols(
            factory, m_Site.Tls()
                         ? GST_RTSP_LOWER_TRANS_TCP
                         : static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
        if (m_Directory.Access().LoginNeeded() || m_Site.Tls()) {
            gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                            GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
        }
        if (recorder.archive != nullptr) {
            SetFactoryArchive(factory, recorder.archive);
        }
        g_signal_connect_data(factory, "media-configure", G_CALLBACK(OnMediaConfigure),
                              new MountedChannel{&m_Directory, recorder.name, ch}, FreeMounted,
                              static_cast<GConnectFlags>(0));
        gst_rtsp_mount_points_add_factory(m_pMounts, MountPath(recorder.name, ch).c_str(), factory);
    }
    if (!m_Ports.empty()) {
        Log("serving %s://%s:%u/%s/0 .. /%s/%d", m_Site.Tls() ? "rtsps" : "rtsp", m_Site.listen.front().address.c_str(),
            static_cast<unsigned>(m_Ports.front()), recorder.name.c_str(), recorder.name.c_str(),
            recorder.channels > 0 ? recorder.channels - 1 : 0);
    }
}

void CRtspFront::Reload(const SiteConfig &site)
{
    if (m_pTlsAuth == nullptr || site.tlsCertificate != m_Site.tlsCertificate || site.tlsKey != m_Site.tlsKey) {
        return;  // TLS on or off, or other files: at the next start
    }
    std::string message;
    GTlsCertificate *certificate = LoadTlsIdentity(m_Site.tlsCertificate, m_Site.tlsKey, message);
    if (certificate == nullptr) {
        Log("rtsp: the TLS certificate stays the one loaded before: %s", message.c_str());
        return;
    }
    gst_rtsp_auth_set_tls_certificate(m_pTlsAuth, certificate);
    g_object_unref(m_pCertificate);
    m_pCertificate = certificate;
    Log("rtsp: the TLS certificate %s is taken again, for new connections", m_Site.tlsCertificate.c_str());
}

void CRtspFront::RecorderRemoved(const std::string &name, int channels)
{
    for (int ch = 0; ch < channels; ++ch) {
        gst_rtsp_mount_points_remove_factory(m_pMounts, MountPath(name, ch).c_str());
    }
}

void CRtspFront::StopListening()
{
    if (m_nCleanupSource != 0) {
        g_source_remove(m_nCleanupSource);
        m_nCleanupSource = 0;
    }
    for (unsigned source : m_Sources) {
        g_source_remove(source);
    }
    m_Sources.clear();
}

}  // namespace kn::gateway
