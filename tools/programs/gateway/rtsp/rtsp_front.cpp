#include "tools/programs/gateway/rtsp/rtsp_front.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/archive/playback_feed.h"
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
// What a client may have queued before it is treated as backed up: the
// bytes (a bound on memory), and the time, counted from its frames' stamps.
// A client starts with the cached group at once (up to a group of pictures,
// a few seconds); past that a client that does not read, on TCP, is behind
// and goes on at the next keyframe instead of being sent its whole backlog
// when it reads again.
constexpr guint64 kMaxQueuedBytes = 4u << 20;
constexpr GstClockTime kMaxQueuedTime = 4 * GST_SECOND;
// What the kernel may hold unsent for a client on TCP beyond that: the send
// buffer it grows would hold tens of seconds of a stream. The bytes in
// flight are not bounded by it, only those a stalled client has not taken.
constexpr int kClientUnsentBytes = 128 << 10;
constexpr const char *kRole = "viewer";
// The token's field that names the client's user, for the access decision.
constexpr const char *kUserField = "kestrel.user";
// Each client is served on a thread of its own, so that one waiting for its
// first keyframe never holds up another.
constexpr int kClientThreads = 64;

// Every media runs its bus and its callbacks on a thread with a main loop;
// the server's pool starts one per media, a client's media being its own.
// Those loops wait nearly all the time: the media share a few.
constexpr unsigned kMediaThreads = 4;

struct CMediaThreadPool {
    GstRTSPThreadPool parent;
    GMutex lock;
    GstRTSPThread *threads[kMediaThreads];  // a reference each, or null
    unsigned next;
};
struct CMediaThreadPoolClass {
    GstRTSPThreadPoolClass parent_class;
};

G_DEFINE_TYPE(CMediaThreadPool, kn_media_thread_pool, GST_TYPE_RTSP_THREAD_POOL)

GstRTSPThread *GetThread(GstRTSPThreadPool *pool, GstRTSPThreadType type, GstRTSPContext *ctx)
{
    auto *parent = GST_RTSP_THREAD_POOL_CLASS(kn_media_thread_pool_parent_class);
    if (type != GST_RTSP_THREAD_TYPE_MEDIA) {
        return parent->get_thread(pool, type, ctx);
    }
    auto *self = reinterpret_cast<CMediaThreadPool *>(pool);
    g_mutex_lock(&self->lock);
    GstRTSPThread *&slot = self->threads[self->next++ % kMediaThreads];
    // A thread whose last media left is quitting: it cannot be taken again.
    if (slot != nullptr && !gst_rtsp_thread_reuse(slot)) {
        gst_rtsp_thread_unref(slot);
        slot = nullptr;
    }
    if (slot == nullptr) {
        slot = parent->get_thread(pool, type, ctx);
    }
    GstRTSPThread *thread = slot != nullptr ? gst_rtsp_thread_ref(slot) : nullptr;
    g_mutex_unlock(&self->lock);
    return thread;
}

void kn_media_thread_pool_init(CMediaThreadPool *self)
{
    g_mutex_init(&self->lock);
    std::fill(std::begin(self->threads), std::end(self->threads), nullptr);
    self->next = 0;
}

void FinalizeMediaThreadPool(GObject *object)
{
    auto *self = reinterpret_cast<CMediaThreadPool *>(object);
    for (GstRTSPThread *&thread : self->threads) {
        if (thread != nullptr) {
            gst_rtsp_thread_unref(thread);
        }
    }
    g_mutex_clear(&self->lock);
    G_OBJECT_CLASS(kn_media_thread_pool_parent_class)->finalize(object);
}

void kn_media_thread_pool_class_init(CMediaThreadPoolClass *klass)
{
    G_OBJECT_CLASS(klass)->finalize = FinalizeMediaThreadPool;
    GST_RTSP_THREAD_POOL_CLASS(klass)->get_thread = GetThread;
}

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

    const char *Front() const override { return "rtsp"; }

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
        if (gst_app_src_get_current_level_bytes(src) > kMaxQueuedBytes ||
            gst_app_src_get_current_level_time(src) > kMaxQueuedTime) {
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

// What a mounted channel's factory holds: where to open its readers.
struct MountedChannel {
    ISiteDirectory *directory;
    std::string recorder;
    int channel;
};

// What a media keeps of its client: its reader of the channel's stream,
// left once (the media is unprepared, or freed).
struct MediaClient {
    std::unique_ptr<CStreamReader> reader;
    std::string recorder;
    int channel;
    std::string peer;
};

void Leave(MediaClient &mc)
{
    if (mc.reader == nullptr) {
        return;
    }
    const std::shared_ptr<CChannelHub> hub = mc.reader->Stream();
    mc.reader.reset();
    if (hub != nullptr) {
        const int left = hub->Counts().clients;
        Log("%s: channel %d: client %s left (%d client%s)", mc.recorder.c_str(), mc.channel, mc.peer.c_str(), left,
            left == 1 ? "" : "s");
    }
}

void OnUnprepared(GstRTSPMedia *, gpointer data) { Leave(*static_cast<MediaClient *>(data)); }

void FreeMediaClient(gpointer data)
{
    auto *mc = static_cast<MediaClient *>(data);
    Leave(*mc);
    delete mc;
}

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

void OnMediaConfigure(GstRTSPMediaFactory *factory, GstRTSPMedia *media, gpointer data)
{
    const auto *mounted = static_cast<const MountedChannel *>(data);
    if (ConfigurePlayback(factory, media, mounted->channel)) {
        return;  // a recording, not the channel's live video
    }
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *appsrc = gst_bin_get_by_name(GST_BIN(bin), "src");
    DropParser(GST_BIN(bin), appsrc);
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
    auto *mc = new MediaClient{nullptr, mounted->recorder, mounted->channel, peer};
    g_signal_connect(media, "unprepared", G_CALLBACK(OnUnprepared), mc);
    g_object_set_data_full(G_OBJECT(media), "kestrel-client", mc, FreeMediaClient);
    mc->reader = mounted->directory->OpenReader(mounted->recorder, mounted->channel,
                                                std::make_shared<CAppSrcSink>(appsrc, client, peer), ReaderOptions{});
    if (mc->reader == nullptr) {
        GST_ELEMENT_ERROR(appsrc, RESOURCE, NOT_FOUND, ("the channel is no longer served"), (nullptr));
        return;
    }
    // The first time the client's appsrc asks for data its pipeline runs:
    // the cached group goes to it then, not with the channel's next frame
    // (a frame interval later, 200 ms at 5 frames a second). The media is
    // unprepared (its reader left) only once its pipeline has stopped.
    g_signal_connect(appsrc, "need-data", G_CALLBACK(+[](GstElement *src, guint, gpointer d) {
                         g_signal_handlers_disconnect_by_data(src, d);
                         auto *c = static_cast<MediaClient *>(d);
                         if (c->reader != nullptr) {
                             c->reader->StartNow();
                         }
                     }),
                     mc);
    const std::shared_ptr<CChannelHub> hub = mc->reader->Stream();
    const int clients = hub != nullptr ? hub->Counts().clients : 0;
    Log("%s: channel %d: client %s joined (%d client%s)", mounted->recorder.c_str(), mounted->channel, peer.c_str(),
        clients, clients == 1 ? "" : "s");
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
std::string UserOf(const GstRTSPContext *ctx)
{
    if (ctx->token != nullptr) {
        if (const gchar *u = gst_rtsp_token_get_string(ctx->token, kUserField)) {
            return u;
        }
    }
    return "";
}

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

// Before a client's stream is set up: the access decision, for the live
// video (view) or a recording (?start=: archive).
GstRTSPStatusCode OnPreSetup(GstRTSPClient *, GstRTSPContext *ctx, gpointer data)
{
    const auto *directory = static_cast<const ISiteDirectory *>(data);
    std::string name;
    int channel = -1;
    ChannelOf(ctx, name, channel);
    const bool archive =
        ctx->uri != nullptr && ctx->uri->query != nullptr && std::strstr(ctx->uri->query, "start=") != nullptr;
    return directory->May(UserOf(ctx), archive ? Action::Archive : Action::View, name, channel)
               ? GST_RTSP_STS_OK
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
    return directory.May(UserOf(ctx), Action::Control, name, channel) ? GST_RTSP_STS_OK : GST_RTSP_STS_FORBIDDEN;
}

GstRTSPStatusCode OnPrePause(GstRTSPClient *, GstRTSPContext *ctx, gpointer data)
{
    return Steer(ctx, *static_cast<const ISiteDirectory *>(data), true);
}

GstRTSPStatusCode OnPrePlay(GstRTSPClient *, GstRTSPContext *ctx, gpointer data)
{
    return Steer(ctx, *static_cast<const ISiteDirectory *>(data), false);
}

void OnPlayed(GstRTSPClient *, GstRTSPContext *ctx, gpointer)
{
    if (ctx->sessmedia != nullptr) {
        g_object_set_data(G_OBJECT(ctx->sessmedia), kPlayedKey, GINT_TO_POINTER(1));
    }
}

void OnClientConnected(GstRTSPServer *, GstRTSPClient *client, gpointer data)
{
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
        auto *pool = static_cast<GstRTSPThreadPool *>(g_object_new(kn_media_thread_pool_get_type(), nullptr));
        gst_rtsp_thread_pool_set_max_threads(pool, kClientThreads);
        gst_rtsp_server_set_thread_pool(server, pool);
        g_object_unref(pool);
        if (auth != nullptr) {
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
        Log("listening on rtsp://%s:%u/%s", l.address.c_str(), static_cast<unsigned>(m_Ports.back()),
            auth != nullptr ? " (clients authenticate: digest or basic)" : "");
    }
    if (auth != nullptr) {
        g_object_unref(auth);
    }
    if (ok) {
        m_nCleanupSource = g_timeout_add_seconds(2, CleanupSessions, &m_Servers);
        m_Directory.AddObserver(this);
        m_bObserving = true;
    }
    return ok;
}

void CRtspFront::RecorderAdded(const RecorderEntry &recorder)
{
    for (int ch = 0; ch < recorder.channels; ++ch) {
        GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, kLaunch);
        gst_rtsp_media_factory_set_shared(factory, FALSE);
        gst_rtsp_media_factory_set_protocols(
            factory, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
        if (!m_Site.rtspUser.empty()) {
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
        Log("serving rtsp://%s:%u/%s/0 .. /%s/%d", m_Site.listen.front().address.c_str(),
            static_cast<unsigned>(m_Ports.front()), recorder.name.c_str(), recorder.name.c_str(),
            recorder.channels > 0 ? recorder.channels - 1 : 0);
    }
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
