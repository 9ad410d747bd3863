#include "tools/programs/gateway/archive/playback_feed.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <cstring>

#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";
constexpr guint64 kMaxQueuedBytes = 4u << 20;
constexpr double kFallbackFps = 25;
constexpr const char *kArchiveKey = "kestrel-archive";
constexpr const char *kPlaybackKey = "kestrel-playback";

// The value of a query's parameter, unescaped; "" when absent.
std::string QueryValue(const char *query, const char *name)
{
    if (query == nullptr) {
        return "";
    }
    const size_t length = std::strlen(name);
    for (const char *at = query; *at != '\0';) {
        const char *end = std::strchr(at, '&');
        const size_t size = end != nullptr ? static_cast<size_t>(end - at) : std::strlen(at);
        if (size > length && std::strncmp(at, name, length) == 0 && at[length] == '=') {
            const std::string escaped(at + length + 1, size - length - 1);
            gchar *text = g_uri_unescape_string(escaped.c_str(), nullptr);
            std::string value = text != nullptr ? text : "";
            g_free(text);
            return value;
        }
        at += size + (end != nullptr ? 1 : 0);
    }
    return "";
}

bool ParseStart(std::string text, UnixTime &time)
{
    if (ParseArchiveTime(text, time)) {
        return true;
    }
    // A '+' of an offset that reached us as a space.
    for (char &c : text) {
        c = c == ' ' ? '+' : c;
    }
    return ParseArchiveTime(text, time);
}

void OnNeedData(GstElement *, guint, gpointer data);

}  // namespace

CPlaybackFeed::CPlaybackFeed(std::shared_ptr<CArchiveGate> gate, int channel, UnixTime start, GstElement *appsrc)
    : m_pGate(std::move(gate)), m_nChannel(channel), m_Start(start), m_pAppSrc(appsrc)
{}

CPlaybackFeed::~CPlaybackFeed()
{
    Stop();
    gst_object_unref(m_pAppSrc);
}

bool CPlaybackFeed::Start(std::string &message)
{
    std::vector<ArchiveRecording> found;
    const CArchiveGate::SearchOutcome outcome = m_pGate->Search(m_nChannel, 0, m_Start, m_Start, found, message);
    if (outcome == CArchiveGate::SearchOutcome::NotLoggedIn) {
        message = "the recorder is not logged in";
        return false;
    }
    if (outcome != CArchiveGate::SearchOutcome::Found) {
        return false;
    }
    const ArchiveRecording *at = nullptr;
    for (const ArchiveRecording &r : found) {
        if (r.start <= m_Start && m_Start <= r.end) {
            at = &r;
        }
    }
    if (at == nullptr) {
        message = "nothing is recorded at " + FormatArchiveTime(m_Start);
        return false;
    }
    // What the recording holds from the start: players seek within it.
    gst_app_src_set_duration(GST_APP_SRC(m_pAppSrc), static_cast<GstClockTime>(at->end + 1 - m_Start) * GST_SECOND);
    m_nRoute = m_pGate->Library().Add(shared_from_this());
    g_signal_connect(m_pAppSrc, "seek-data", G_CALLBACK(OnSeek), this);
    g_signal_connect(m_pAppSrc, "need-data", G_CALLBACK(OnNeedData), this);
    return true;
}

namespace {

void OnNeedData(GstElement *, guint, gpointer data) { static_cast<CPlaybackFeed *>(data)->OpenPending(); }

}  // namespace

void CPlaybackFeed::OpenPending()
{
    uint64_t offset = 0;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (!m_bPending) {
            return;
        }
        m_bPending = false;
        offset = m_nPendingNs;
    }
    if (!Open(offset)) {
        GST_ELEMENT_ERROR(m_pAppSrc, RESOURCE, READ, ("the recorder did not open the playback"), (nullptr));
    }
}

int CPlaybackFeed::OnSeek(GstElement *, uint64_t offset, void *self)
{
    static_cast<CPlaybackFeed *>(self)->Seek(offset);
    return TRUE;
}

void CPlaybackFeed::Seek(uint64_t offsetNs)
{
    // The source throws away what it holds only after this returns: frames
    // pushed now would be lost, so the playback opens again at the new
    // position when the source next wants data. The current one stops now,
    // so nothing of it comes after the seek.
    void *old = nullptr;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        old = m_hStream;
        m_hStream = nullptr;
        m_bPending = true;
        m_nPendingNs = offsetNs;
    }
    if (old != nullptr) {
        m_pGate->Stop(old);
    }
}

bool CPlaybackFeed::Open(uint64_t offsetNs)
{
    void *old = nullptr;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        old = m_hStream;
        m_hStream = nullptr;
        m_bOpening = true;
        m_bPaused = false;
        m_nBaseNs = offsetNs;
        m_nFrames = 0;
        m_bStarted = false;
    }
    if (old != nullptr) {
        m_pGate->Stop(old);
    }
    if (m_bStopped) {
        return false;
    }
    const UnixTime at = m_Start + static_cast<UnixTime>(offsetNs / GST_SECOND);
    const ArchiveClock t = ToArchiveClock(at);
    const int channel = m_nChannel;
    const uint32_t user = CLibraryHost::UserValue(m_nRoute, channel);
    std::weak_ptr<CPlaybackFeed> weak = weak_from_this();
    void *stream = m_pGate->OpenPlayback(channel, t, user, [weak] {
        if (auto self = weak.lock()) {
            gst_app_src_end_of_stream(GST_APP_SRC(self->m_pAppSrc));
        }
    });
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_bOpening = false;
    m_hStream = stream;
    if (stream != nullptr) {
        Log("%s channel %d: playback from %s", m_pGate->Name().c_str(), m_nChannel, FormatArchiveTime(at).c_str());
    }
    return stream != nullptr;
}

void CPlaybackFeed::Stop()
{
    if (m_bStopped.exchange(true)) {
        return;
    }
    void *stream = nullptr;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        stream = m_hStream;
        m_hStream = nullptr;
    }
    if (stream != nullptr) {
        m_pGate->Stop(stream);
    }
    if (m_nRoute != 0) {
        m_pGate->Library().Remove(m_nRoute);
    }
}

void CPlaybackFeed::Pause() { Control(true); }

void CPlaybackFeed::Resume() { Control(false); }

void CPlaybackFeed::Control(bool pause)
{
    // The library is called without the feed's lock: the delivery thread
    // takes it for every frame, and a control may wait (for the session's
    // command channel, or for the archive while its session closes).
    void *stream = nullptr;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_hStream == nullptr || m_bPaused == pause) {
            return;
        }
        stream = m_hStream;
    }
    const bool done = pause ? m_pGate->Pause(stream) : m_pGate->Resume(stream);
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (done && m_hStream == stream) {
        m_bPaused = pause;
    }
}

void CPlaybackFeed::OnData(int, void *hStream, uint32_t type, const unsigned char *data, int32_t len)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    // Frames of the opening under way may come before its handle.
    if (m_bStopped || (hStream != m_hStream && !(m_bOpening && m_hStream == nullptr))) {
        return;
    }
    GstAppSrc *src = GST_APP_SRC(m_pAppSrc);
    if (type == 255) {
        gst_app_src_end_of_stream(src);  // the recording ended, or the recorder went
        return;
    }
    const common::ByteSpan au = common::AccessUnitOfFrame(type, data, len);
    if (au.size == 0) {
        return;
    }
    const common::UnitSummary summary = m_Sets.Learn(au);
    if (!m_bStarted) {
        if (!summary.idr || !m_Sets.Known()) {
            ++m_nFrames;  // its time passes all the same
            return;
        }
        m_bStarted = true;
        if (!m_Rate.Known()) {
            m_Sets.Complete(au, summary, m_Unit);
            m_Rate = mp4::RecordingRate(mp4::DeclaredFrameRate(m_Unit.data(), m_Unit.size()), kFallbackFps);
        }
    }
    if (gst_app_src_get_current_level_bytes(src) > kMaxQueuedBytes) {
        m_bStarted = false;  // the client is behind: go on from a keyframe
        ++m_nFrames;
        return;
    }
    const auto at = [this](long n) {
        return m_nBaseNs + gst_util_uint64_scale(static_cast<guint64>(n), GST_SECOND * static_cast<guint64>(m_Rate.den),
                                                 static_cast<guint64>(m_Rate.num));
    };
    m_Sets.Complete(au, summary, m_Unit);
    GstBuffer *buffer = gst_buffer_new_memdup(m_Unit.data(), m_Unit.size());
    GST_BUFFER_PTS(buffer) = at(m_nFrames);
    GST_BUFFER_DTS(buffer) = at(m_nFrames);
    GST_BUFFER_DURATION(buffer) = at(m_nFrames + 1) - at(m_nFrames);
    ++m_nFrames;
    gst_app_src_push_buffer(src, buffer);
}

namespace {

struct ClientHook {
    std::weak_ptr<CPlaybackFeed> feed;
    GstRTSPMedia *media;  // compared, never used
};

// PAUSE and PLAY of the client, for the media of this playback only.
void OnClientRequest(GstRTSPClient *, GstRTSPContext *ctx, gpointer data, bool pause)
{
    auto *hook = static_cast<ClientHook *>(data);
    auto feed = hook->feed.lock();
    if (feed == nullptr || ctx == nullptr || ctx->sessmedia == nullptr ||
        gst_rtsp_session_media_get_media(ctx->sessmedia) != hook->media) {
        return;
    }
    if (pause) {
        feed->Pause();
    } else {
        feed->Resume();
    }
}

}  // namespace

bool IsPlayback(GstRTSPMedia *media) { return g_object_get_data(G_OBJECT(media), kPlaybackKey) != nullptr; }

void SetFactoryArchive(GstRTSPMediaFactory *factory, std::shared_ptr<CArchiveGate> gate)
{
    g_object_set_data_full(G_OBJECT(factory), kArchiveKey, new std::shared_ptr<CArchiveGate>(std::move(gate)),
                           [](gpointer data) { delete static_cast<std::shared_ptr<CArchiveGate> *>(data); });
}

bool ConfigurePlayback(GstRTSPMediaFactory *factory, GstRTSPMedia *media, int channel)
{
    GstRTSPContext *ctx = gst_rtsp_context_get_current();
    const auto *gate = static_cast<std::shared_ptr<CArchiveGate> *>(g_object_get_data(G_OBJECT(factory), kArchiveKey));
    if (ctx == nullptr || ctx->uri == nullptr || gate == nullptr || *gate == nullptr) {
        return false;
    }
    const std::string text = QueryValue(ctx->uri->query, "start");
    if (text.empty()) {
        return false;
    }
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *appsrc = gst_bin_get_by_name(GST_BIN(bin), "src");
    gst_object_unref(bin);
    if (appsrc == nullptr) {
        return true;
    }
    GstCaps *caps = gst_caps_from_string(kCaps);
    g_object_set(appsrc, "caps", caps, "is-live", FALSE, "stream-type", GST_APP_STREAM_TYPE_SEEKABLE, "block", FALSE,
                 "max-bytes", kMaxQueuedBytes * 2, nullptr);
    gst_caps_unref(caps);
    std::string peer = "?";
    if (GstRTSPConnection *conn = ctx->client != nullptr ? gst_rtsp_client_get_connection(ctx->client) : nullptr) {
        peer = gst_rtsp_connection_get_ip(conn) != nullptr ? gst_rtsp_connection_get_ip(conn) : "?";
    }
    UnixTime start = 0;
    std::string message;
    if (!ParseStart(text, start)) {
        Log("%s channel %d: playback for %s refused: start=%s is not an ISO 8601 time", (*gate)->Name().c_str(),
            channel, peer.c_str(), text.c_str());
        GST_ELEMENT_ERROR(appsrc, RESOURCE, NOT_FOUND, ("start takes a date and time in ISO 8601"), (nullptr));
        gst_object_unref(appsrc);
        return true;
    }
    auto feed = std::make_shared<CPlaybackFeed>(*gate, channel, start, appsrc);  // takes appsrc's reference
    if (!feed->Start(message)) {
        Log("%s channel %d: playback for %s refused: %s", (*gate)->Name().c_str(), channel, peer.c_str(),
            message.c_str());
        // The client's DESCRIBE is answered with an error as the pipeline
        // fails to start.
        GST_ELEMENT_ERROR(appsrc, RESOURCE, NOT_FOUND, ("%s", message.c_str()), (nullptr));
        return true;
    }
    g_signal_connect_swapped(media, "unprepared",
                             G_CALLBACK(+[](gpointer data) { static_cast<CPlaybackFeed *>(data)->Stop(); }),
                             feed.get());
    g_object_set_data_full(G_OBJECT(media), kPlaybackKey, new std::shared_ptr<CPlaybackFeed>(feed),
                           [](gpointer data) { delete static_cast<std::shared_ptr<CPlaybackFeed> *>(data); });
    if (ctx->client != nullptr) {
        for (const auto &[signal, pause] : {std::pair{"pause-request", true}, std::pair{"play-request", false}}) {
            auto *hook = new ClientHook{feed, media};
            g_signal_connect_data(
                ctx->client, signal,
                pause ? G_CALLBACK(
                            +[](GstRTSPClient *c, GstRTSPContext *x, gpointer d) { OnClientRequest(c, x, d, true); })
                      : G_CALLBACK(
                            +[](GstRTSPClient *c, GstRTSPContext *x, gpointer d) { OnClientRequest(c, x, d, false); }),
                hook, [](gpointer data, GClosure *) { delete static_cast<ClientHook *>(data); },
                static_cast<GConnectFlags>(0));
        }
    }
    Log("%s channel %d: client %s plays the recording from %s", (*gate)->Name().c_str(), channel, peer.c_str(),
        FormatArchiveTime(start).c_str());
    return true;
}

}  // namespace kn::gateway
