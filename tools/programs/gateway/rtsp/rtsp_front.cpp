#include "tools/programs/gateway/rtsp/rtsp_front.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/archive/playback_feed.h"
#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

// A live channel's units come parsed, a keyframe always with its parameter
// sets in front, and shared with every client (no copy). The same pipeline
// also serves a recording (?start=), whose units come from the playback
// feed as the recorder sent them: the parser in front of the payloader gives
// the session description its parameter sets from the first keyframe
// whatever the order in which the media is prepared. (Measured: the parser is
// not what a viewer costs; its media's own threads are.)
constexpr const char *kLaunch = "( appsrc name=src is-live=true format=time do-timestamp=false ! h264parse ! "
                                "rtph264pay name=pay0 pt=96 config-interval=-1 aggregate-mode=zero-latency )";
// No frame rate: frames are timed as they arrive.
constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";
// What a client may have queued before it is treated as backed up.
constexpr guint64 kMaxQueuedBytes = 4u << 20;
constexpr const char *kRole = "viewer";
// The token's field that names the client's user, for the access decision.
constexpr const char *kUserField = "kestrel.user";
// Each client is served on a thread of its own, so that one waiting for its
// first keyframe never holds up another.
constexpr int kClientThreads = 64;

// Closes an RTSP client on the main context, where the server runs.
gboolean CloseClient(gpointer data)
{
    gst_rtsp_client_close(GST_RTSP_CLIENT(data));
    return G_SOURCE_REMOVE;
}

// One client's appsrc.
class CAppSrcSink final : public IClientSink {
public:
    CAppSrcSink(GstElement *appsrc, GstRTSPClient *client, std::string peer)
        : m_pAppSrc(appsrc), m_Peer(std::move(peer)), m_Created(std::chrono::steady_clock::now())
    {
        g_weak_ref_init(&m_Client, client);
    }
    ~CAppSrcSink() override
    {
        g_weak_ref_clear(&m_Client);
        gst_object_unref(m_pAppSrc);
    }

    int64_t RunningTimeNs() override
    {
        // The running time means something only once the pipeline plays.
        // While it changes state the element may hold its clock but not yet
        // its base time, and the "running time" is then the clock's absolute
        // time, hours ahead: stamps never go backwards, so every later frame
        // would wait hours in the sink and the client would get nothing.
        // Before it plays (the preroll for DESCRIBE) frames are stamped from
        // zero; a running time can never exceed the sink's age.
        if (GST_STATE(m_pAppSrc) != GST_STATE_PLAYING) {
            return 0;
        }
        const GstClockTime t = gst_element_get_current_running_time(m_pAppSrc);
        const int64_t age =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m_Created).count();
        if (!GST_CLOCK_TIME_IS_VALID(t) || static_cast<int64_t>(t) > age) {
            return 0;
        }
        return static_cast<int64_t>(t);
    }

    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override
    {
        GstBuffer *buffer = gst_buffer_new_memdup(data, size);
        GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(ptsNs);
        GST_BUFFER_DTS(buffer) = static_cast<GstClockTime>(ptsNs);
        return Queue(buffer);
    }

    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override { return Queue(UnitBuffer(unit, ptsNs)); }
    // The sinks of an RTSP media keep to the clock on decoding times: the
    // cached group leaves at once, its RTP times as far apart as its frames.
    bool PushTimed(const SharedUnit &unit, const FrameTimes &times) override
    {
        return Queue(UnitBuffer(unit, times.ptsNs, times.dtsNs));
    }

    void End() override
    {
        if (m_bFed) {
            gst_app_src_end_of_stream(GST_APP_SRC(m_pAppSrc));
        } else {
            // A client still waiting for its first keyframe (its DESCRIBE
            // is pending): failing the pipeline answers it at once.
            GST_ELEMENT_ERROR(m_pAppSrc, RESOURCE, READ, ("the recorder's stream is lost"), (nullptr));
        }
        // Closing a client leaves its media, which calls back into the
        // hub: always from the main loop, never from inside this call.
        if (GObject *client = static_cast<GObject *>(g_weak_ref_get(&m_Client))) {
            GSource *source = g_idle_source_new();
            g_source_set_callback(source, CloseClient, client, g_object_unref);
            g_source_attach(source, nullptr);
            g_source_unref(source);
        }
    }

    std::string Peer() const override { return m_Peer; }
    // ffmpeg reads about 20 frames before it shows the first; from a deep
    // start they come at once instead of at the stream's pace.
    size_t StartFrames() const override { return kDeepStartFrames; }

private:
    // The appsrc is the client's bounded queue: past kMaxQueuedBytes the
    // unit is refused and the hub starts the client again at a keyframe.
    bool Queue(GstBuffer *buffer)
    {
        GstAppSrc *src = GST_APP_SRC(m_pAppSrc);
        if (gst_app_src_get_current_level_bytes(src) > kMaxQueuedBytes) {
            gst_buffer_unref(buffer);
            return false;
        }
        const bool taken = gst_app_src_push_buffer(src, buffer) == GST_FLOW_OK;
        m_bFed = m_bFed || taken;
        return taken;
    }

    GstElement *m_pAppSrc;
    GWeakRef m_Client;
    bool m_bFed = false;  // a unit was taken: the client's stream has begun
    std::string m_Peer;
    std::chrono::steady_clock::time_point m_Created;
};

// What a media keeps of its client: the hub and the sink, to leave once.
struct MediaClient {
    std::shared_ptr<CChannelHub> hub;
    std::shared_ptr<CAppSrcSink> sink;
    bool left = false;
};

void Leave(MediaClient &mc)
{
    if (mc.left) {
        return;
    }
    mc.left = true;
    int left = 0;
    if (mc.hub->Remove(mc.sink.get(), left)) {
        Log("%s: channel %d: client %s left (%d client%s)", mc.hub->Recorder().c_str(), mc.hub->Channel(),
            mc.sink->Peer().c_str(), left, left == 1 ? "" : "s");
    }
}

void OnUnprepared(GstRTSPMedia *, gpointer data) { Leave(*static_cast<MediaClient *>(data)); }

void FreeMediaClient(gpointer data)
{
    auto *mc = static_cast<MediaClient *>(data);
    Leave(*mc);
    delete mc;
}

// The first time a client's appsrc asks for data its pipeline runs: the
// cached group goes to it then, not with the channel's next frame (a frame
// interval later, 200 ms at 5 frames a second).
struct FirstNeed {
    std::weak_ptr<CChannelHub> hub;
    std::weak_ptr<CAppSrcSink> sink;
    std::atomic<bool> asked{false};
};

void OnNeedData(GstElement *, guint, gpointer data)
{
    auto *need = static_cast<FirstNeed *>(data);
    if (need->asked.exchange(true)) {
        return;
    }
    const std::shared_ptr<CChannelHub> hub = need->hub.lock();
    const std::shared_ptr<CAppSrcSink> sink = need->sink.lock();
    if (hub != nullptr && sink != nullptr) {
        hub->StartNow(sink.get());
    }
}

void FreeFirstNeed(gpointer data, GClosure *) { delete static_cast<FirstNeed *>(data); }

void OnMediaConfigure(GstRTSPMediaFactory *factory, GstRTSPMedia *media, gpointer data)
{
    const std::shared_ptr<CChannelHub> &hub = *static_cast<std::shared_ptr<CChannelHub> *>(data);
    if (ConfigurePlayback(factory, media, hub->Channel())) {
        return;  // a recording, not the hub's live video
    }
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *appsrc = gst_bin_get_by_name(GST_BIN(bin), "src");
    gst_object_unref(bin);
    if (appsrc == nullptr) {
        return;
    }
    GstCaps *caps = gst_caps_from_string(kCaps);
    g_object_set(appsrc, "caps", caps, "block", FALSE, "max-bytes", kMaxQueuedBytes * 2, nullptr);
    gst_caps_unref(caps);

    GstRTSPClient *client = nullptr;
    std::string peer = "?";
    if (GstRTSPContext *ctx = gst_rtsp_context_get_current(); ctx != nullptr && ctx->client != nullptr) {
        client = ctx->client;
        if (GstRTSPConnection *conn = gst_rtsp_client_get_connection(client)) {
            if (const gchar *ip = gst_rtsp_connection_get_ip(conn)) {
                peer = ip;
            }
        }
    }
    auto *mc = new MediaClient{hub, std::make_shared<CAppSrcSink>(appsrc, client, peer), false};
    g_signal_connect(media, "unprepared", G_CALLBACK(OnUnprepared), mc);
    g_object_set_data_full(G_OBJECT(media), "kestrel-client", mc, FreeMediaClient);
    auto *need = new FirstNeed;
    need->hub = hub;
    need->sink = mc->sink;
    g_signal_connect_data(appsrc, "need-data", G_CALLBACK(OnNeedData), need, FreeFirstNeed,
                          static_cast<GConnectFlags>(0));
    const int clients = hub->Add(mc->sink);
    Log("%s: channel %d: client %s joined (%d client%s)", hub->Recorder().c_str(), hub->Channel(), peer.c_str(),
        clients, clients == 1 ? "" : "s");
}

void FreeHub(gpointer data, GClosure *) { delete static_cast<std::shared_ptr<CChannelHub> *>(data); }

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

// Before a client's stream is set up: the access decision, for the live
// video (view) or a recording (?start=: archive).
GstRTSPStatusCode OnPreSetup(GstRTSPClient *, GstRTSPContext *ctx, gpointer data)
{
    const auto *access = static_cast<const CAccess *>(data);
    std::string user;
    if (ctx->token != nullptr) {
        if (const gchar *u = gst_rtsp_token_get_string(ctx->token, kUserField)) {
            user = u;
        }
    }
    std::string name;
    int channel = -1;
    bool archive = false;
    if (ctx->uri != nullptr && ctx->uri->abspath != nullptr) {
        // /NAME/CH, or /NAME/CH/stream=0 as a client names the stream.
        const std::string path = ctx->uri->abspath;
        const size_t slash = path.find('/', 1);
        if (slash != std::string::npos) {
            name = path.substr(1, slash - 1);
            channel = std::atoi(path.c_str() + slash + 1);
        }
        archive = ctx->uri->query != nullptr && std::string(ctx->uri->query).find("start=") != std::string::npos;
    }
    return access->May(user, archive ? Action::Archive : Action::View, name, channel) ? GST_RTSP_STS_OK
                                                                                      : GST_RTSP_STS_FORBIDDEN;
}

void OnClientConnected(GstRTSPServer *, GstRTSPClient *client, gpointer data)
{
    g_signal_connect(client, "pre-setup-request", G_CALLBACK(OnPreSetup), data);
}

}  // namespace

CRtspFront::CRtspFront(const SiteConfig &site) : m_Site(site) {}

CRtspFront::~CRtspFront()
{
    StopListening();
    for (GstRTSPServer *server : m_Servers) {
        g_object_unref(server);
    }
    if (m_pMounts != nullptr) {
        g_object_unref(m_pMounts);
    }
}

bool CRtspFront::Start(std::string &message)
{
    m_pMounts = gst_rtsp_mount_points_new();
    GstRTSPAuth *auth = nullptr;
    if (!m_Site.rtspUser.empty()) {
        auth = gst_rtsp_auth_new();
        GstRTSPToken *token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, kUserField,
                                                 G_TYPE_STRING, m_Site.rtspUser.c_str(), nullptr);
        gchar *basic = gst_rtsp_auth_make_basic(m_Site.rtspUser.c_str(), m_Site.rtspPassword.c_str());
        gst_rtsp_auth_add_basic(auth, basic, token);
        g_free(basic);
        gst_rtsp_auth_add_digest(auth, m_Site.rtspUser.c_str(), m_Site.rtspPassword.c_str(), token);
        gst_rtsp_auth_set_supported_methods(auth,
                                            static_cast<GstRTSPAuthMethod>(GST_RTSP_AUTH_BASIC | GST_RTSP_AUTH_DIGEST));
        gst_rtsp_token_unref(token);
    }
    bool ok = true;
    for (const ListenAddress &l : m_Site.listen) {
        GstRTSPServer *server = gst_rtsp_server_new();
        m_Servers.push_back(server);
        gst_rtsp_server_set_address(server, l.address.c_str());
        const std::string service = std::to_string(l.port);
        gst_rtsp_server_set_service(server, service.c_str());
        gst_rtsp_server_set_mount_points(server, m_pMounts);
        GstRTSPThreadPool *pool = gst_rtsp_server_get_thread_pool(server);
        gst_rtsp_thread_pool_set_max_threads(pool, kClientThreads);
        g_object_unref(pool);
        if (auth != nullptr) {
            gst_rtsp_server_set_auth(server, auth);
        }
        g_signal_connect(server, "client-connected", G_CALLBACK(OnClientConnected), const_cast<CAccess *>(&m_Access));
        const unsigned source = gst_rtsp_server_attach(server, nullptr);
        if (source == 0) {
            message = "cannot listen on " + l.address + ":" + service + " (address in use or not local)";
            ok = false;
            break;
        }
        m_Sources.push_back(source);
        m_Ports.push_back(static_cast<uint16_t>(gst_rtsp_server_get_bound_port(server)));
        Log("listening on rtsp://%s:%u/%s", l.address.c_str(), static_cast<unsigned>(m_Ports.back()),
            auth != nullptr ? " (clients authenticate: digest or basic)" : "");
    }
    if (auth != nullptr) {
        g_object_unref(auth);
    }
    if (ok) {
        m_nCleanupSource = g_timeout_add_seconds(2, CleanupSessions, &m_Servers);
    }
    return ok;
}

void CRtspFront::Mount(const std::string &name, const std::vector<std::shared_ptr<CChannelHub>> &hubs,
                       const std::shared_ptr<CArchiveGate> &archive)
{
    for (const auto &hub : hubs) {
        GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, kLaunch);
        gst_rtsp_media_factory_set_shared(factory, FALSE);
        gst_rtsp_media_factory_set_protocols(
            factory, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
        if (!m_Site.rtspUser.empty()) {
            gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                            GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
        }
        if (archive != nullptr) {
            SetFactoryArchive(factory, archive);
        }
        // The factory holds the hub as long as it lives.
        g_signal_connect_data(factory, "media-configure", G_CALLBACK(OnMediaConfigure),
                              new std::shared_ptr<CChannelHub>(hub), FreeHub, static_cast<GConnectFlags>(0));
        gst_rtsp_mount_points_add_factory(m_pMounts, MountPath(name, hub->Channel()).c_str(), factory);
    }
    if (!m_Ports.empty()) {
        Log("serving rtsp://%s:%u/%s/0 .. /%s/%zu", m_Site.listen.front().address.c_str(),
            static_cast<unsigned>(m_Ports.front()), name.c_str(), name.c_str(), hubs.empty() ? 0 : hubs.size() - 1);
    }
}

void CRtspFront::Unmount(const std::string &name, int channels)
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
