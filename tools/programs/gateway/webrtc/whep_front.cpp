#include "tools/programs/gateway/webrtc/whep_front.h"

#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>
#include <libsoup/soup.h>
#include <nice/agent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

#include "tools/common/parameter_sets.h"
#include "tools/common/http_reply.h"
#include "tools/programs/gateway/site/main_loop.h"
#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/status/gateway_status.h"
#include "tools/programs/gateway/webrtc/h264_offer.h"
#include "tools/programs/gateway/webrtc/h264_order.h"
#include "tools/programs/gateway/webrtc/session_feeder.h"
#include "tools/programs/gateway/webrtc/session_input.h"

namespace kn::gateway {

namespace {

// What a session's queue holds at most before its client skips to the next
// keyframe: far more than a pipeline that keeps up ever has waiting.
constexpr size_t kMaxQueuedBytes = 2u << 20;
constexpr size_t kMaxQueuedUnits = 250;
// How long an answer may wait for the gateway's candidates, and a session
// for its browser to connect or to come back once disconnected.
constexpr guint kGatherMs = 5000;
constexpr guint kConnectMs = 15000;
constexpr guint kIceTimeoutMs = 10000;
constexpr guint kWatchMs = 2000;

int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Reply(SoupServerMessage *msg, guint status, const std::string &body)
{
    common::Reply(msg, status, "text/plain", body);
}

// The stream's SPS from its cached group (units): its profile and
// constraint bytes; false when nothing is cached.
bool StreamProfile(const std::shared_ptr<CChannelHub> &hub, std::vector<std::vector<uint8_t>> &units,
                   std::vector<uint8_t> &spsOut, uint8_t &profile, uint8_t &constraints)
{
    if (hub == nullptr || !hub->CopyCachedGroup(units)) {
        return false;
    }
    common::CParameterSets sets;
    sets.Learn(common::ByteSpan{units.front().data(), units.front().size()});
    const std::vector<uint8_t> &sps = sets.Sps();
    if (sps.size() < 4) {
        return false;
    }
    profile = sps[1];
    constraints = sps[2];
    spsOut = sps;
    return true;
}

}  // namespace

// One browser's session: rtph264pay ! webrtcbin, fed by a reader of the
// channel's stream from the first keyframe after the browser connected.
// The reader puts each unit into the session's queue on the front's
// feeder, whose threads push it into the payloader through a pad of the
// session's own: the pipeline has no source element and no streaming
// thread of its own on the sending side, and nothing in it waits for the
// clock (see CSessionInput::SendUnpaced). The stream's units are whole
// access units with the parameter sets in front of each keyframe, and the
// channel knows its SPS: nothing to parse again.
class CWhepSession final : public IClientSink, public std::enable_shared_from_this<CWhepSession> {
public:
    using Answered = std::function<void(std::string sdp)>;  // "" when it failed
    using Ended = std::function<void(const char *why)>;

    CWhepSession(std::string name, std::string peer) : m_Name(std::move(name)), m_Peer(std::move(peer)) {}
    ~CWhepSession() override { Stop(); }

    bool Start(CSessionFeeder &feeder, const WebrtcConfig &config, int payload, const std::string &fmtp,
               const std::vector<uint8_t> &sps, const std::string &offerText, Answered answered, Ended ended,
               std::string &message)
    {
        m_Answered = std::move(answered);
        m_Ended = std::move(ended);
        GstSDPMessage *sdp = nullptr;
        if (gst_sdp_message_new_from_text(offerText.c_str(), &sdp) != GST_SDP_OK || sdp == nullptr) {
            message = "the offer is not SDP";
            return false;
        }
        const std::string launch =
            "rtph264pay name=pay "
            "config-interval=-1 aggregate-mode=zero-latency pt=" +
            std::to_string(payload) +
            " ! application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=" + std::to_string(payload) +
            " ! webrtcbin name=webrtc bundle-policy=max-bundle latency=0";
        GError *error = nullptr;
        m_pPipeline = gst_parse_launch(launch.c_str(), &error);
        if (m_pPipeline == nullptr) {
            message = std::string("cannot make the WebRTC pipeline: ") + (error != nullptr ? error->message : "?");
            g_clear_error(&error);
            gst_sdp_message_free(sdp);
            return false;
        }
        g_clear_error(&error);
        m_pWebrtc = gst_bin_get_by_name(GST_BIN(m_pPipeline), "webrtc");
        CSessionInput::SendUnpaced(m_pPipeline);
        GstElement *pay = gst_bin_get_by_name(GST_BIN(m_pPipeline), "pay");
        GstPad *sink = gst_element_get_static_pad(pay, "sink");
        auto input = std::make_shared<CSessionInput>(sink, sps);
        gst_object_unref(sink);
        gst_object_unref(pay);
        if (!input->Linked()) {
            message = "cannot feed the WebRTC pipeline";
            gst_sdp_message_free(sdp);
            return false;
        }
        m_pQueue = feeder.Open(kMaxQueuedUnits, kMaxQueuedBytes,
                               [input](const SharedUnit &unit, int64_t ptsNs) { input->Deliver(unit, ptsNs); });
        Configure(config);
        GstWebRTCRTPTransceiver *transceiver = nullptr;
        g_signal_emit_by_name(m_pWebrtc, "get-transceiver", 0, &transceiver);
        if (transceiver != nullptr) {
            GstCaps *prefs = gst_caps_from_string(("application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,"
                                                   "payload=" +
                                                   std::to_string(payload) + fmtp)
                                                      .c_str());
            g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "codec-preferences",
                         prefs, nullptr);
            gst_caps_unref(prefs);
            gst_object_unref(transceiver);
        }
        g_signal_connect(m_pWebrtc, "notify::ice-gathering-state", G_CALLBACK(OnGathering), this);
        g_signal_connect(m_pWebrtc, "notify::connection-state", G_CALLBACK(OnConnection), this);
        GstBus *bus = gst_element_get_bus(m_pPipeline);
        gst_bus_add_watch(bus, OnBusMessage, this);
        gst_object_unref(bus);
        if (gst_element_set_state(m_pPipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            message = "the WebRTC pipeline did not start";
            gst_sdp_message_free(sdp);
            return false;
        }
        GstWebRTCSessionDescription *offer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
        GstPromise *promise = gst_promise_new_with_change_func(OnRemoteSet, this, nullptr);
        g_signal_emit_by_name(m_pWebrtc, "set-remote-description", offer, promise);
        gst_webrtc_session_description_free(offer);
        m_nGatherTimer = g_timeout_add(kGatherMs, OnGatherTimeout, this);
        m_nConnectTimer = g_timeout_add(kConnectMs, OnConnectTimeout, this);
        return true;
    }

    void Stop()
    {
        if (m_bStopped.exchange(true)) {
            return;
        }
        if (m_pQueue != nullptr) {
            m_pQueue->Close();
        }
        for (guint *timer : {&m_nGatherTimer, &m_nConnectTimer, &m_nLostTimer, &m_nWatchTimer}) {
            if (*timer != 0) {
                g_source_remove(*timer);
                *timer = 0;
            }
        }
        if (m_pPipeline != nullptr) {
            // Stopping the pipeline ends a unit being pushed into it (its
            // pads flush); the pipeline goes once none is.
            gst_element_set_state(m_pPipeline, GST_STATE_NULL);
            GstBus *bus = gst_element_get_bus(m_pPipeline);
            gst_bus_remove_watch(bus);
            gst_object_unref(bus);
            g_signal_handlers_disconnect_by_data(m_pWebrtc, this);
            gst_object_unref(m_pWebrtc);
            if (m_pQueue == nullptr || m_pQueue->WaitIdle(std::chrono::milliseconds(2000))) {
                gst_object_unref(m_pPipeline);
            } else {
                Log("%s: WebRTC client %s: its pipeline is still being fed: left to finish", m_Name.c_str(),
                    m_Peer.c_str());
            }
            m_pPipeline = m_pWebrtc = nullptr;
        }
    }

    // Set once the session's reader joined the channel's stream.
    void Read(std::unique_ptr<CStreamReader> reader) { m_pReader = std::move(reader); }
    void Leave() { m_pReader.reset(); }

    int64_t RunningTimeNs() override { return SteadyNs() - m_nCreatedNs; }
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override
    {
        auto unit = std::make_shared<StreamUnit>();
        unit->bytes.assign(data, data + size);
        unit->keyframe = common::Summarise(common::ByteSpan{data, size}).idr;
        return PushShared(unit, ptsNs);
    }
    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override
    {
        if (!Take(unit->keyframe)) {
            return true;  // not yet: not a gap the stream must mend
        }
        return m_pQueue != nullptr && m_pQueue->Put(unit, ptsNs);
    }
    void End() override { Finish("the channel's stream ended"); }
    std::string Peer() const override { return m_Peer; }
    const char *Front() const override { return "webrtc"; }
    bool Report(LinkReport &report) const override
    {
        if (!m_bReported.load()) {
            return false;
        }
        report.roundTripMs = m_RoundTripMs.load();
        report.jitterMs = m_JitterMs.load();
        report.fractionLost = m_FractionLost.load();
        return true;
    }
    const std::string &Name() const { return m_Name; }

private:
    // Whether a unit goes out: from the first keyframe once connected.
    bool Take(bool keyframe)
    {
        if (m_bStopped.load() || !m_bConnected.load()) {
            return false;
        }
        if (!m_bStarted.load() && keyframe) {
            m_bStarted = true;
        }
        return m_bStarted.load();
    }

    void Configure(const WebrtcConfig &config)
    {
        if (!config.stun.empty()) {
            g_object_set(m_pWebrtc, "stun-server", config.stun.c_str(), nullptr);
        }
        for (const WebrtcConfig::Turn &t : config.turn) {
            const size_t scheme = t.url.find("://") + 3;
            gchar *user = g_uri_escape_string(t.user.c_str(), nullptr, FALSE);
            gchar *password = g_uri_escape_string(t.password.c_str(), nullptr, FALSE);
            const std::string url = t.url.substr(0, scheme) + user + ":" + password + "@" + t.url.substr(scheme);
            g_free(user);
            g_free(password);
            gboolean added = FALSE;
            g_signal_emit_by_name(m_pWebrtc, "add-turn-server", url.c_str(), &added);
        }
        GObject *ice = nullptr;
        g_object_get(m_pWebrtc, "ice-agent", &ice, nullptr);
        if (ice == nullptr) {
            return;
        }
        if (config.minPort != 0) {
            g_object_set(ice, "min-rtp-port", static_cast<guint>(config.minPort), "max-rtp-port",
                         static_cast<guint>(config.maxPort), nullptr);
        }
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent") != nullptr) {
            NiceAgent *agent = nullptr;
            g_object_get(ice, "agent", &agent, nullptr);
            if (agent != nullptr) {
                // A browser that goes away is noticed by the checks it no
                // longer answers.
                g_object_set(agent, "keepalive-conncheck", TRUE, "upnp", FALSE, nullptr);
                for (const std::string &a : config.addresses) {
                    NiceAddress address;
                    nice_address_init(&address);
                    if (nice_address_set_from_string(&address, a.c_str())) {
                        nice_agent_add_local_address(agent, &address);
                    }
                }
                g_object_unref(agent);
            }
        }
        g_object_unref(ice);
    }

    static void OnRemoteSet(GstPromise *promise, gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        gst_promise_unref(promise);
        GstPromise *answer = gst_promise_new_with_change_func(OnAnswerMade, self, nullptr);
        g_signal_emit_by_name(self->m_pWebrtc, "create-answer", nullptr, answer);
    }

    static void OnAnswerMade(GstPromise *promise, gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        GstWebRTCSessionDescription *answer = nullptr;
        if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
            if (const GstStructure *reply = gst_promise_get_reply(promise)) {
                gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
            }
        }
        gst_promise_unref(promise);
        if (answer == nullptr) {
            self->Answer(false);
            return;
        }
        g_signal_emit_by_name(self->m_pWebrtc, "set-local-description", answer, nullptr);
        gst_webrtc_session_description_free(answer);
    }

    static void OnGathering(GstElement *webrtc, GParamSpec *, gpointer data)
    {
        GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
        g_object_get(webrtc, "ice-gathering-state", &state, nullptr);
        if (state == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) {
            static_cast<CWhepSession *>(data)->Answer(true);
        }
    }

    static gboolean OnGatherTimeout(gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        self->m_nGatherTimer = 0;
        self->Answer(true);  // with the candidates gathered so far
        return G_SOURCE_REMOVE;
    }

    static gboolean OnConnectTimeout(gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        self->m_nConnectTimer = 0;
        if (!self->m_bConnected.load()) {
            self->Finish("the browser never connected");
        }
        return G_SOURCE_REMOVE;
    }

    // Every few seconds: the statistics ask for the browser's last receiver
    // report. A browser that went away (a tab closed, a network gone)
    // reports nothing more, whatever the ICE agent still believes.
    static gboolean OnWatch(gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        if (SteadyNs() - self->m_nHeardNs.load() > static_cast<int64_t>(kIceTimeoutMs) * 1000000) {
            self->m_nWatchTimer = 0;
            self->Finish("the browser went away (no report for 10 s)");
            return G_SOURCE_REMOVE;
        }
        GstPromise *promise = gst_promise_new_with_change_func(OnStats, self, nullptr);
        g_signal_emit_by_name(self->m_pWebrtc, "get-stats", nullptr, promise);
        return G_SOURCE_CONTINUE;
    }

    static void OnStats(GstPromise *promise, gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        const GstStructure *reply =
            gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(promise) : nullptr;
        const int fields = reply != nullptr ? gst_structure_n_fields(reply) : 0;
        for (int i = 0; i < fields; ++i) {
            const GValue *value = gst_structure_get_value(reply, gst_structure_nth_field_name(reply, i));
            if (!GST_VALUE_HOLDS_STRUCTURE(value)) {
                continue;
            }
            const GstStructure *stats = gst_value_get_structure(value);
            GstWebRTCStatsType type = GST_WEBRTC_STATS_CODEC;
            const GstStructure *source = nullptr;
            guint seq = 0;
            gboolean haveReport = FALSE;
            if (gst_structure_get(stats, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr) &&
                type == GST_WEBRTC_STATS_REMOTE_INBOUND_RTP &&
                gst_structure_has_field_typed(stats, "gst-rtpsource-stats", GST_TYPE_STRUCTURE) &&
                (source = gst_value_get_structure(gst_structure_get_value(stats, "gst-rtpsource-stats"))) != nullptr &&
                gst_structure_get_boolean(source, "have-rb", &haveReport) && haveReport &&
                gst_structure_get_uint(source, "rb-exthighestseq", &seq)) {
                if (seq != self->m_nReportedSeq.load()) {
                    self->m_nReportedSeq = seq;
                    self->m_nHeardNs = SteadyNs();
                }
                self->TakeReport(stats, source);
            }
        }
        gst_promise_unref(promise);
    }

    // The round trip, jitter and loss of the browser's last receiver report.
    void TakeReport(const GstStructure *stats, const GstStructure *source)
    {
        gdouble rtt = 0, lost = 0;
        guint jitter = 0;
        if (gst_structure_get_double(stats, "round-trip-time", &rtt)) {
            m_RoundTripMs = rtt * 1000;
        }
        // In the report's own unit: the payload's clock, 90 kHz.
        if (gst_structure_get_uint(source, "rb-jitter", &jitter)) {
            m_JitterMs = jitter / 90.0;
        }
        if (gst_structure_get_double(stats, "fraction-lost", &lost)) {
            m_FractionLost = lost;
        }
        m_bReported = true;
    }

    static gboolean OnLostTimeout(gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        self->m_nLostTimer = 0;
        self->Finish("the browser went away");
        return G_SOURCE_REMOVE;
    }

    static void OnConnection(GstElement *webrtc, GParamSpec *, gpointer data)
    {
        auto *self = static_cast<CWhepSession *>(data);
        GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "connection-state", &state, nullptr);
        std::weak_ptr<CWhepSession> weak = self->weak_from_this();
        std::weak_ptr<bool> alive = self->m_Alive;
        OnMainLoop(alive, [weak, state] {
            auto s = weak.lock();
            if (s == nullptr || s->m_bStopped.load()) {
                return;
            }
            if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
                if (s->m_nLostTimer != 0) {
                    g_source_remove(s->m_nLostTimer);
                    s->m_nLostTimer = 0;
                }
                if (!s->m_bConnected.exchange(true)) {
                    Log("%s: WebRTC client %s connected", s->m_Name.c_str(), s->m_Peer.c_str());
                    s->m_nHeardNs = SteadyNs();
                    s->m_nWatchTimer = g_timeout_add(kWatchMs, OnWatch, s.get());
                }
            } else if (state == GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED && s->m_nLostTimer == 0) {
                s->m_nLostTimer = g_timeout_add(kIceTimeoutMs, OnLostTimeout, s.get());
            } else if (state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED ||
                       state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED) {
                s->Finish("the browser's connection ended");
            }
        });
    }

    static gboolean OnBusMessage(GstBus *, GstMessage *message, gpointer data)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            auto *self = static_cast<CWhepSession *>(data);
            GError *error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            Log("%s: WebRTC client %s: the pipeline failed: %s", self->m_Name.c_str(), self->m_Peer.c_str(),
                error != nullptr ? error->message : "?");
            g_clear_error(&error);
            self->Answer(false);
            self->Finish("the pipeline failed");
        }
        return G_SOURCE_CONTINUE;
    }

    // The answer with the candidates gathered, once (any thread).
    void Answer(bool ok)
    {
        if (m_bAnswered.exchange(true)) {
            return;
        }
        std::string text;
        if (ok && m_pWebrtc != nullptr) {
            GstWebRTCSessionDescription *local = nullptr;
            g_object_get(m_pWebrtc, "local-description", &local, nullptr);
            if (local != nullptr) {
                gchar *sdp = gst_sdp_message_as_text(local->sdp);
                text = sdp != nullptr ? sdp : "";
                g_free(sdp);
                gst_webrtc_session_description_free(local);
            }
        }
        std::weak_ptr<CWhepSession> weak = weak_from_this();
        OnMainLoop(m_Alive, [weak, text] {
            if (auto s = weak.lock(); s != nullptr && !s->m_bStopped.load()) {
                if (s->m_nGatherTimer != 0) {
                    g_source_remove(s->m_nGatherTimer);
                    s->m_nGatherTimer = 0;
                }
                s->m_Answered(text);
            }
        });
    }

    // Ends the session (on the main loop).
    void Finish(const char *why)
    {
        std::weak_ptr<CWhepSession> weak = weak_from_this();
        OnMainLoop(m_Alive, [weak, why] {
            if (auto s = weak.lock(); s != nullptr && !s->m_bStopped.load()) {
                s->m_Ended(why);
            }
        });
    }

    const std::string m_Name;
    const std::string m_Peer;
    const int64_t m_nCreatedNs = SteadyNs();
    Answered m_Answered;
    Ended m_Ended;
    GstElement *m_pPipeline = nullptr;
    GstElement *m_pWebrtc = nullptr;
    std::shared_ptr<CSessionFeeder::CQueue> m_pQueue;
    std::unique_ptr<CStreamReader> m_pReader;
    std::atomic<bool> m_bStopped{false};
    std::atomic<bool> m_bAnswered{false};
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bStarted{false};
    guint m_nGatherTimer = 0;
    guint m_nConnectTimer = 0;
    guint m_nLostTimer = 0;
    guint m_nWatchTimer = 0;
    // The browser's receiver reports: the highest sequence number it said
    // it had, and when that last moved.
    std::atomic<uint32_t> m_nReportedSeq{0};
    std::atomic<int64_t> m_nHeardNs{0};
    // Its figures, for the status.
    std::atomic<bool> m_bReported{false};
    std::atomic<double> m_RoundTripMs{0};
    std::atomic<double> m_JitterMs{0};
    std::atomic<double> m_FractionLost{0};
    std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);
};

namespace {

// A reader that keeps a channel open and takes nothing.
class CNullSink final : public IClientSink {
public:
    int64_t RunningTimeNs() override { return 0; }
    bool Push(const uint8_t *, size_t, int64_t) override { return true; }
    bool PushShared(const SharedUnit &, int64_t) override { return true; }
    void End() override {}
    std::string Peer() const override { return "webrtc warm-up"; }
};

}  // namespace

void CWhepFront::Warm(const std::string &name, int channel)
{
    const std::pair<std::string, int> key{name, channel};
    if (m_Warm.count(key) != 0) {
        return;
    }
    m_Warm[key] = m_Directory.OpenReader(name, channel, std::make_shared<CNullSink>(), ReaderOptions{});
    std::weak_ptr<bool> alive = m_Alive;
    auto *drop = new std::function<void()>([this, alive, key] {
        if (alive.lock() != nullptr) {
            m_Warm.erase(key);
        }
    });
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, kConnectMs,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()> *>(data))();
            return G_SOURCE_REMOVE;
        },
        drop, [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
}

class CWhepFront::CRoute final : public IHttpRoute {
public:
    explicit CRoute(CWhepFront *front) : m_pFront(front) {}
    bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user) override
    {
        return m_pFront != nullptr && m_pFront->Serve(msg, path, query, user);
    }
    CWhepFront *m_pFront;
};

CWhepFront::CWhepFront(const WebrtcConfig &config, ISiteDirectory &directory)
    : m_Config(config),
      m_Directory(directory),
      m_pRoute(std::make_shared<CRoute>(this)),
      m_pFeeder(std::make_unique<CSessionFeeder>())
{}

CWhepFront::~CWhepFront()
{
    Stop();
    m_pRoute->m_pFront = nullptr;
    *m_Alive = false;
}

std::unique_ptr<IFront> MakeWhepFront(const SiteConfig &site, ISiteDirectory &directory)
{
    if (!site.http) {
        return nullptr;
    }
    if (GstElementFactory *f = gst_element_factory_find("webrtcbin")) {
        gst_object_unref(f);
    } else {
        Log("no WebRTC: the GStreamer element webrtcbin is missing (install gstreamer1.0-plugins-bad and "
            "gstreamer1.0-nice)");
        return nullptr;
    }
    return std::make_unique<CWhepFront>(site.webrtc, directory);
}

bool CWhepFront::Start(std::string &)
{
    m_Directory.AddHttpRoute(m_pRoute);
    return true;
}

void CWhepFront::Stop()
{
    while (!m_Sessions.empty()) {
        End(m_Sessions.begin()->first, "the gateway stops");
    }
}

void CWhepFront::Cors(SoupServerMessage *msg, const char *methods) const
{
    SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
    soup_message_headers_replace(headers, "Access-Control-Allow-Origin", "*");
    soup_message_headers_replace(headers, "Access-Control-Allow-Methods", methods);
    soup_message_headers_replace(headers, "Access-Control-Allow-Headers", "Authorization, Content-Type, If-Match");
    soup_message_headers_replace(headers, "Access-Control-Expose-Headers", "Location, Link, ETag");
    soup_message_headers_replace(headers, "Allow", methods);
    // The ICE servers a browser behind NAT needs.
    if (!m_Config.stun.empty()) {
        const std::string stun = "<stun:" + m_Config.stun.substr(std::strlen("stun://")) + ">; rel=\"ice-server\"";
        soup_message_headers_append(headers, "Link", stun.c_str());
    }
    for (const WebrtcConfig::Turn &t : m_Config.turn) {
        const size_t scheme = t.url.find("://");
        const std::string link = "<" + t.url.substr(0, scheme) + ":" + t.url.substr(scheme + 3) +
                                 ">; rel=\"ice-server\"; username=\"" + t.user + "\"; credential=\"" + t.password +
                                 "\"; credential-type=\"password\"";
        soup_message_headers_append(headers, "Link", link.c_str());
    }
}

bool CWhepFront::Serve(SoupServerMessage *msg, const std::string &path, GHashTable *, const std::string &user)
{
    // /NAME/CH/whep, and a session's /NAME/CH/whep/ID.
    const size_t at = path.find("/whep");
    if (at == std::string::npos || at == 0) {
        return false;
    }
    const std::string rest = path.substr(at + 5);
    std::string name, extension;
    int channel = 0;
    if (!ParseChannelPath(path.substr(0, at) + ".whep", name, channel, extension) ||
        (!rest.empty() && rest[0] != '/')) {
        return false;
    }
    const std::string method = soup_server_message_get_method(msg);
    if (method == "OPTIONS") {
        Cors(msg, rest.empty() ? "POST, OPTIONS" : "DELETE, PATCH, OPTIONS");
        if (rest.empty()) {
            soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Accept-Post",
                                         "application/sdp");
        }
        soup_server_message_set_status(msg, SOUP_STATUS_NO_CONTENT, nullptr);
        return true;
    }
    if (!m_Directory.May(user, Action::View, name, channel)) {
        Cors(msg, "POST, OPTIONS");
        Reply(msg, SOUP_STATUS_FORBIDDEN, "not allowed to view\n");
        return true;
    }
    if (rest.empty()) {
        if (method != "POST") {
            Cors(msg, "POST, OPTIONS");
            Reply(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "POST an SDP offer\n");
        } else {
            Offer(msg, name, channel, user);
        }
        return true;
    }
    char *end = nullptr;
    const uint64_t id = std::strtoull(rest.c_str() + 1, &end, 10);
    Cors(msg, "DELETE, PATCH, OPTIONS");
    if (end == rest.c_str() + 1 || *end != '\0' || m_Sessions.count(id) == 0) {
        Reply(msg, SOUP_STATUS_NOT_FOUND, "no such session\n");
    } else if (method == "DELETE") {
        End(id, "ended by its client");
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    } else {
        Reply(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "no trickle ICE: the offer carries every candidate\n");
    }
    return true;
}

void CWhepFront::Offer(SoupServerMessage *msg, const std::string &name, int channel, const std::string &)
{
    Cors(msg, "POST, OPTIONS");
    const char *type = soup_message_headers_get_content_type(soup_server_message_get_request_headers(msg), nullptr);
    if (type == nullptr || g_ascii_strcasecmp(type, "application/sdp") != 0) {
        Reply(msg, SOUP_STATUS_UNSUPPORTED_MEDIA_TYPE, "the offer is application/sdp\n");
        return;
    }
    const std::shared_ptr<CChannelHub> hub = m_Directory.Stream(name, channel);
    if (hub == nullptr) {
        Reply(msg, SOUP_STATUS_NOT_FOUND, "no such recorder or channel\n");
        return;
    }
    SoupMessageBody *body = soup_server_message_get_request_body(msg);
    GBytes *bytes = soup_message_body_flatten(body);
    gsize size = 0;
    const char *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    const std::string offer(data != nullptr ? data : "", size);
    g_bytes_unref(bytes);
    uint8_t profile = 0, constraints = 0;
    std::vector<std::vector<uint8_t>> group;
    std::vector<uint8_t> sps;
    if (!StreamProfile(hub, group, sps, profile, constraints)) {
        // The channel is closed or has had no keyframe yet.
        Reply(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "the channel's stream has no picture yet: try again\n");
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After", "2");
        // A reader for a moment opens it, so that the next offer finds it.
        Warm(name, channel);
        return;
    }
    // A browser shows each frame as it decodes it: a stream that reorders
    // its pictures would play out of order.
    if (const std::string reordering = PictureReordering(group); !reordering.empty()) {
        Reply(msg, SOUP_STATUS_NOT_ACCEPTABLE, "the stream cannot go over WebRTC: " + reordering + "\n");
        return;
    }
    const int payload = PickH264Payload(offer, profile, constraints);
    if (payload < 0) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the offer lists no H.264 with packetization-mode=1 that fits the stream (profile-level-id "
                      "%02x%02x..)\n",
                      profile, constraints);
        Reply(msg, SOUP_STATUS_NOT_ACCEPTABLE, text);
        return;
    }
    char fmtp[96];
    std::snprintf(fmtp, sizeof fmtp,
                  ",packetization-mode=(string)1,profile-level-id=(string)%02x%02x1f,level-asymmetry-allowed=(string)1",
                  profile, constraints);
    const uint64_t id = m_nNextId++;
    const std::string label = name + " channel " + std::to_string(channel);
    std::string peer = "?";
    if (GSocketAddress *remote = soup_server_message_get_remote_address(msg); G_IS_INET_SOCKET_ADDRESS(remote)) {
        gchar *ip = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(remote)));
        peer = ip;
        g_free(ip);
    }
    auto session = std::make_shared<CWhepSession>(label, peer);
    m_Sessions[id] = session;
    auto held = std::shared_ptr<SoupServerMessage>(SOUP_SERVER_MESSAGE(g_object_ref(msg)), g_object_unref);
    // A status keeps the WebSocket handler, which runs after this one, off
    // the message; the real one comes with the answer.
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_pause(msg);
    const std::string location = "/" + name + "/" + std::to_string(channel) + "/whep/" + std::to_string(id);
    std::weak_ptr<bool> alive = m_Alive;
    std::string message;
    const bool started = session->Start(
        *m_pFeeder, m_Config, payload, fmtp, sps, offer,
        [this, alive, held, id, location, name, channel, label](std::string sdp) {
            if (sdp.empty()) {
                Reply(held.get(), SOUP_STATUS_INTERNAL_SERVER_ERROR, "no answer could be made to the offer\n");
                soup_server_message_unpause(held.get());
                End(id, "no answer");
                return;
            }
            soup_message_headers_replace(soup_server_message_get_response_headers(held.get()), "Location",
                                         location.c_str());
            soup_server_message_set_status(held.get(), SOUP_STATUS_CREATED, nullptr);
            soup_server_message_set_response(held.get(), "application/sdp", SOUP_MEMORY_COPY, sdp.data(), sdp.size());
            soup_server_message_unpause(held.get());
            const auto it = m_Sessions.find(id);
            if (it != m_Sessions.end()) {
                it->second->Read(
                    m_Directory.OpenReader(name, channel, it->second, ReaderOptions{StartPolicy::NextKeyframe, true}));
                Log("%s: WebRTC client %s: session %llu answered", label.c_str(), it->second->Peer().c_str(),
                    static_cast<unsigned long long>(id));
            }
        },
        [this, id](const char *why) { End(id, why); }, message);
    if (!started) {
        m_Sessions.erase(id);
        Reply(msg, SOUP_STATUS_BAD_REQUEST, message + "\n");
        soup_server_message_unpause(msg);
    }
}

void CWhepFront::End(uint64_t id, const char *why)
{
    const auto it = m_Sessions.find(id);
    if (it == m_Sessions.end()) {
        return;
    }
    std::shared_ptr<CWhepSession> session = std::move(it->second);
    m_Sessions.erase(it);
    session->Leave();
    session->Stop();
    Log("%s: WebRTC client %s: session %llu ended: %s", session->Name().c_str(), session->Peer().c_str(),
        static_cast<unsigned long long>(id), why);
}

}  // namespace kn::gateway
