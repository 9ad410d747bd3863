#include "tools/programs/gateway/onvif/onvif_front.h"

#define GST_USE_UNSTABLE_API  // the H.264 parser: stable in use for years
#include <gst/codecparsers/gsth264parser.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "tools/programs/gateway/events/event_bus.h"
#include "tools/programs/gateway/onvif/soap_request.h"
#include "tools/programs/gateway/onvif/ws_discovery.h"
#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/web/snapshot.h"

namespace kn::gateway {

namespace {

constexpr const char *kPrefix = "/onvif/";
constexpr size_t kSubscriptionsPerDevice = 8;
constexpr size_t kPendingPerSubscription = 256;  // notifications not yet pulled; the oldest dropped beyond
constexpr int64_t kDefaultTerminationMs = 60 * 1000;
constexpr int64_t kMaxTerminationMs = 60 * 60 * 1000;
constexpr int64_t kMaxPullWaitMs = 60 * 1000;
constexpr int kMaxMessageLimit = 1024;
constexpr guint kLearnSeconds = 8;  // a channel opened to learn its picture size gives up after this
constexpr const char *kGatewayTopicNs = "urn:kestrelnet:gateway:events";

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Xml(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string UtcText(int64_t unixMs)
{
    GDateTime *t = g_date_time_new_from_unix_utc(unixMs / 1000);
    gchar *text = g_date_time_format(t, "%Y-%m-%dT%H:%M:%SZ");
    std::string out = text != nullptr ? text : "";
    g_free(text);
    g_date_time_unref(t);
    return out;
}

// An xs:duration of days, hours, minutes and seconds (PT1M, PT2.5S, P1DT1H)
// in ms; nullopt for anything else.
std::optional<int64_t> DurationMs(const std::string &text)
{
    if (text.size() < 3 || text[0] != 'P') {
        return std::nullopt;
    }
    double total = 0;
    bool time = false;
    bool any = false;
    for (size_t at = 1; at < text.size();) {
        if (text[at] == 'T') {
            time = true;
            ++at;
            continue;
        }
        size_t used = 0;
        double value = 0;
        try {
            value = std::stod(text.substr(at), &used);
        } catch (...) {
            return std::nullopt;
        }
        at += used;
        if (at >= text.size() || value < 0) {
            return std::nullopt;
        }
        const char unit = text[at++];
        if (!time && unit == 'D') {
            total += value * 86400;
        } else if (time && unit == 'H') {
            total += value * 3600;
        } else if (time && unit == 'M') {
            total += value * 60;
        } else if (time && unit == 'S') {
            total += value;
        } else {
            return std::nullopt;
        }
        any = true;
    }
    if (!any || total > 1e7) {
        return std::nullopt;
    }
    return static_cast<int64_t>(total * 1000);
}

// A termination time: a duration from now, or an absolute time.
std::optional<int64_t> TerminationMs(const std::string &text, int64_t now)
{
    if (text.empty()) {
        return now + kDefaultTerminationMs;
    }
    if (const auto d = DurationMs(text)) {
        return now + std::min(*d, kMaxTerminationMs);
    }
    GTimeZone *utc = g_time_zone_new_utc();
    GDateTime *t = g_date_time_new_from_iso8601(text.c_str(), utc);
    g_time_zone_unref(utc);
    if (t == nullptr) {
        return std::nullopt;
    }
    const int64_t at = g_date_time_to_unix(t) * 1000;
    g_date_time_unref(t);
    return std::clamp(at, now, now + kMaxTerminationMs);
}

// What a channel's parameter sets declare.
struct Video {
    int width = 0;
    int height = 0;
    double fps = 0;  // 0: the SPS gives none
    bool Known() const { return width > 0 && height > 0; }
};

// The picture size and rate of the SPS in front of a keyframe (Annex B).
Video VideoOf(const std::vector<uint8_t> &unit)
{
    Video v;
    GstH264NalParser *parser = gst_h264_nal_parser_new();
    GstH264NalUnit nalu;
    guint offset = 0;
    while (offset < unit.size()) {
        const GstH264ParserResult r =
            gst_h264_parser_identify_nalu(parser, unit.data(), offset, static_cast<gsize>(unit.size()), &nalu);
        if (r != GST_H264_PARSER_OK && r != GST_H264_PARSER_NO_NAL_END) {
            break;
        }
        if (nalu.type == GST_H264_NAL_SPS) {
            GstH264SPS sps;
            if (gst_h264_parse_sps(&nalu, &sps) == GST_H264_PARSER_OK) {
                v.width = sps.frame_cropping_flag ? sps.crop_rect_width : sps.width;
                v.height = sps.frame_cropping_flag ? sps.crop_rect_height : sps.height;
                if (sps.vui_parameters_present_flag && sps.vui_parameters.timing_info_present_flag &&
                    sps.vui_parameters.num_units_in_tick > 0) {
                    v.fps = sps.vui_parameters.time_scale / (2.0 * sps.vui_parameters.num_units_in_tick);
                }
                gst_h264_sps_clear(&sps);
            }
            break;
        }
        if (r == GST_H264_PARSER_NO_NAL_END) {
            break;
        }
        offset = nalu.offset + nalu.size;
    }
    gst_h264_nal_parser_free(parser);
    return v;
}

// A device: a recorder's channels, or one of them.
struct Device {
    std::string key;  // NAME or NAME/CH: its path below /onvif/
    std::string recorder;
    std::vector<int> channels;
    std::string uuid;
    std::string serial;
    std::vector<std::string> kinds;  // what its recorder's messages' words mean
};

// A notification as PullMessages gives it.
struct Note {
    std::string topic;   // prefixed: tns1:... or kn:...
    std::string source;  // <tt:SimpleItem .../> of the source
    std::string data;    // of the data
    int64_t unixMs = 0;
    const char *operation = "Changed";  // or Initialized
};

struct Subscription {
    int id = 0;
    std::string device;  // its key
    int64_t terminationMs = 0;
    std::deque<Note> pending;
    SoupServerMessage *waiting = nullptr;  // a PullMessages held until a note comes or its time-out
    guint waitTimer = 0;
    int waitLimit = 0;
    std::string waitHost;
};

std::string StateText(bool active) { return active ? "true" : "false"; }

std::string Item(const char *name, const std::string &value)
{
    return std::string("<tt:SimpleItem Name=\"") + name + "\" Value=\"" + Xml(value) + "\"/>";
}

// What a state of the event path is as an ONVIF topic.
Note NoteOf(const Event &e)
{
    Note n;
    n.unixMs = e.unixMs;
    const std::string ch = std::to_string(std::max(e.channel, 0));
    if (e.type == EventKind::State) {
        if (e.kind == "motion") {
            n.topic = "tns1:VideoSource/MotionAlarm";
            n.source = Item("Source", "vs_" + ch);
            n.data = Item("State", StateText(e.active));
        } else if (e.kind.find("input") != std::string::npos) {
            n.topic = "tns1:Device/Trigger/DigitalInput";
            n.source = Item("InputToken", "input_" + ch);
            n.data = Item("LogicalState", StateText(e.active));
        } else {
            n.topic = "kn:State/" + e.kind;
            n.source = Item("Channel", ch);
            n.data = Item("State", StateText(e.active));
        }
    } else {
        n.topic = "kn:Gateway/" + std::string(KindName(e.type));
        n.source = e.channel >= 0 ? Item("Channel", ch) : "";
        n.data = Item("Detail", e.detail);
    }
    return n;
}

// The envelope around an answer's body; every answer is written through it.
std::string Envelope(const std::string &body, const std::string &action = "")
{
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:tt=\"http://www.onvif.org/ver10/schema\" xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" "
        "xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\" xmlns:tev=\"http://www.onvif.org/ver10/events/wsdl\" "
        "xmlns:wsnt=\"http://docs.oasis-open.org/wsn/b-2\" xmlns:wsa=\"http://www.w3.org/2005/08/addressing\" "
        "xmlns:wstop=\"http://docs.oasis-open.org/wsn/t-1\" xmlns:tns1=\"http://www.onvif.org/ver10/topics\" "
        "xmlns:ter=\"http://www.onvif.org/ver10/error\" xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns:kn=\"";
    out += kGatewayTopicNs;
    out += "\">";
    if (!action.empty()) {
        out += "<s:Header><wsa:Action>" + Xml(action) + "</wsa:Action></s:Header>";
    }
    out += "<s:Body>" + body + "</s:Body></s:Envelope>\n";
    return out;
}

std::string FaultBody(const char *code, const char *subcode, const std::string &reason)
{
    return std::string("<s:Fault><s:Code><s:Value>s:") + code + "</s:Value><s:Subcode><s:Value>" + subcode +
           "</s:Value></s:Subcode></s:Code><s:Reason><s:Text xml:lang=\"en\">" + Xml(reason) +
           "</s:Text></s:Reason></s:Fault>";
}

// A request's answer: its HTTP status and envelope.
struct Answer {
    guint status = SOUP_STATUS_OK;
    std::string xml;
};

Answer Ok(const std::string &body) { return {SOUP_STATUS_OK, Envelope(body)}; }

Answer Fault(guint status, const char *code, const char *subcode, const std::string &reason)
{
    return {status, Envelope(FaultBody(code, subcode, reason), "http://www.w3.org/2005/08/addressing/soap/fault")};
}

Answer NotSupported(const std::string &operation)
{
    return Fault(SOUP_STATUS_BAD_REQUEST, "Receiver", "ter:ActionNotSupported",
                 operation + " is not supported by this device");
}

Answer NoSuchToken(const std::string &what)
{
    return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "ter:InvalidArgVal", "no such " + what);
}

// The operations a client may call before it logs in.
bool PreAuth(const std::string &ns, const std::string &op)
{
    static const std::set<std::string> kDevice{"GetSystemDateAndTime",   "GetCapabilities", "GetServices",
                                               "GetServiceCapabilities", "GetWsdlUrl",      "GetHostname",
                                               "GetEndpointReference"};
    return ns == kNsDevice && kDevice.count(op) != 0;
}

}  // namespace

std::string DeviceUuid(const std::string &key)
{
    gchar *hex = g_compute_checksum_for_string(G_CHECKSUM_SHA1, ("kestrel-gateway onvif " + key).c_str(), -1);
    std::string h = hex;
    g_free(hex);
    // A name-based UUID: version 5, the RFC 4122 variant.
    h[12] = '5';
    h[16] = "89ab"[std::strtol(h.substr(16, 1).c_str(), nullptr, 16) & 3];
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" +
           h.substr(20, 12);
}

std::string DeviceSerial(const std::string &key)
{
    gchar *hex = g_compute_checksum_for_string(G_CHECKSUM_SHA1, ("kestrel-gateway serial " + key).c_str(), -1);
    std::string s = "KN" + std::string(hex).substr(0, 12);
    g_free(hex);
    for (char &c : s) {
        c = static_cast<char>(g_ascii_toupper(c));
    }
    return s;
}

namespace {

class COnvifFront;

class COnvifRoute final : public IHttpRoute {
public:
    explicit COnvifRoute(COnvifFront &front) : m_Front(front) {}
    bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user) override;

private:
    COnvifFront &m_Front;
};

class COnvifFront final : public IFront, public ISiteObserver {
public:
    COnvifFront(const SiteConfig &site, ISiteDirectory &directory)
        : m_Site(site), m_Directory(directory), m_pRoute(std::make_shared<COnvifRoute>(*this))
    {}
    ~COnvifFront() override
    {
        Stop();
        if (m_pDigest != nullptr) {
            g_object_unref(m_pDigest);
        }
    }

    bool Start(std::string &message) override;
    void Stop() override;
    void RecorderAdded(const RecorderEntry &recorder) override;
    void RecorderRemoved(const std::string &name, int channels) override;

    bool Serve(SoupServerMessage *msg, const std::string &path, const std::string &user);

private:
    struct Request {
        SoupServerMessage *msg = nullptr;
        const Device *device = nullptr;
        std::string service;   // device_service, media_service, events_service
        int subscription = 0;  // events_service/pull/ID: its id
        std::string host;      // as the client reached the gateway: HOST or HOST:PORT
        std::string hostName;  // without the port, bracketed when IPv6
        std::string user;
        SoapRequest soap;
    };

    std::optional<Answer> Authenticate(Request &r);
    std::optional<Answer> Dispatch(Request &r);
    Answer DeviceOperation(const Request &r);
    Answer MediaOperation(const Request &r);
    std::optional<Answer> EventOperation(Request &r);
    std::string ServiceUrl(const Request &r, const char *service) const;
    std::vector<std::string> Scopes(const Device &d) const;
    std::vector<DiscoveredDevice> Discovered(const std::string &recorder = "") const;
    std::string Profile(const Device &d, int ch) const;
    std::string VideoSourceConfiguration(int ch, const Video &v) const;
    std::string EncoderConfiguration(int ch, const Video &v) const;
    Video VideoOfChannel(const std::string &recorder, int ch) const;
    // A token's channel of the device ("profile_3" → 3), -1 when none.
    static int TokenChannel(const Device &d, const std::string &token, const char *prefix);

    void Learn(const std::string &recorder);
    void Learnt(const std::string &recorder, int ch, Video v);
    void TakeEvents();
    void Notify(Subscription &s, Note note);
    void AnswerPull(Subscription &s);
    void EndSubscription(int id);
    void Expire();
    std::string PullMessagesAnswer(Subscription &s, int limit, const std::string &host);
    std::string SubscriptionAddress(const std::string &host, const Subscription &s) const;
    void AddInitialStates(Subscription &s, const std::string &recorder, int channel);

    const SiteConfig m_Site;
    ISiteDirectory &m_Directory;
    std::shared_ptr<COnvifRoute> m_pRoute;
    std::map<std::string, Device> m_Devices;  // by key
    std::map<std::pair<std::string, int>, Video> m_Video;
    struct Learning {
        std::deque<int> channels;  // still to learn, in order
        std::unique_ptr<CStreamReader> reader;
        guint timer = 0;
    };
    std::map<std::string, Learning> m_Learning;
    CTokenCheck m_Tokens;
    std::shared_ptr<CEventQueue> m_pEvents;
    std::map<std::tuple<std::string, std::string, int>, Event> m_States;  // active states: recorder, kind, channel
    std::map<int, Subscription> m_Subscriptions;
    int m_nNextSubscription = 1;
    guint m_nExpiry = 0;
    std::unique_ptr<CWsDiscovery> m_pDiscovery;
    SoupAuthDomain *m_pDigest = nullptr;  // HTTP digest for the clients that log in with it
    bool m_bStarted = false;
    std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);
    std::shared_ptr<std::atomic<bool>> m_Scheduled = std::make_shared<std::atomic<bool>>(false);
};

bool COnvifRoute::Serve(SoupServerMessage *msg, const std::string &path, GHashTable *, const std::string &user)
{
    return m_Front.Serve(msg, path, user);
}

template <typename F>
void OnMain(std::shared_ptr<bool> alive, F f)
{
    struct Call {
        std::shared_ptr<bool> alive;
        F f;
    };
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        +[](gpointer data) -> gboolean {
            auto *c = static_cast<Call *>(data);
            if (*c->alive) {
                c->f();
            }
            return G_SOURCE_REMOVE;
        },
        new Call{std::move(alive), std::move(f)}, [](gpointer data) { delete static_cast<Call *>(data); });
}

bool COnvifFront::Start(std::string &message)
{
    if (m_Site.listen.empty() || m_Site.listen.front().port == 0) {
        Log("onvif: not served: the RTSP listen port is chosen at start (0), so no stream address could be given");
        return true;
    }
    if (!m_Site.onvif.discovery.empty() && m_Site.httpListen.port == 0) {
        message = "onvif: WS-Discovery needs the http port fixed (it is told to clients)";
        return false;
    }
    m_bStarted = true;
    // The digest schemes need the password itself: the users with a
    // password source (a hash alone does not do).
    if (m_Directory.Access().LoginNeeded() && !m_Directory.Access().PasswordUsers().empty()) {
        m_pDigest = soup_auth_domain_digest_new("realm", "kestrel-gateway ONVIF", nullptr);
        soup_auth_domain_digest_set_auth_callback(
            m_pDigest,
            +[](SoupAuthDomain *domain, SoupServerMessage *, const char *user, gpointer access) -> char * {
                const auto password =
                    user != nullptr ? static_cast<const CAccess *>(access)->PasswordOf(user) : std::nullopt;
                return password ? soup_auth_domain_digest_encode_password(user, soup_auth_domain_get_realm(domain),
                                                                          password->c_str())
                                : nullptr;
            },
            const_cast<CAccess *>(&m_Directory.Access()), nullptr);
    }
    auto alive = m_Alive;
    auto scheduled = m_Scheduled;
    m_pEvents = m_Directory.Events().Subscribe(EventFilter{}, 4096, [this, alive, scheduled] {
        if (!scheduled->exchange(true)) {
            OnMain(alive, [this] { TakeEvents(); });
        }
    });
    m_Directory.AddObserver(this);
    m_Directory.AddHttpRoute(m_pRoute);
    SetOnvifListing(true, m_Site.onvif.channelDevices);
    m_nExpiry = g_timeout_add_seconds(
        1,
        +[](gpointer self) -> gboolean {
            static_cast<COnvifFront *>(self)->Expire();
            return G_SOURCE_CONTINUE;
        },
        this);
    Log("onvif: devices at http://HOST:PORT/onvif/NAME/device_service%s",
        m_Site.onvif.channelDevices ? " and /onvif/NAME/CH/device_service" : "");
    if (!m_Site.onvif.discovery.empty()) {
        m_pDiscovery = std::make_unique<CWsDiscovery>(m_Site.onvif.discovery, m_Site.httpListen.port,
                                                      [this] { return Discovered(); });
        if (!m_pDiscovery->Start(message)) {
            m_pDiscovery.reset();
            return false;
        }
    }
    return true;
}

void COnvifFront::Stop()
{
    if (!m_bStarted) {
        return;
    }
    m_bStarted = false;
    if (m_pDiscovery != nullptr) {
        m_pDiscovery->Stop();  // Bye for every device
        m_pDiscovery.reset();
    }
    *m_Alive = false;
    SetOnvifListing(false, false);
    m_Directory.RemoveObserver(this);
    m_Directory.Events().Unsubscribe(m_pEvents);
    if (m_nExpiry != 0) {
        g_source_remove(m_nExpiry);
        m_nExpiry = 0;
    }
    std::vector<int> ids;
    for (const auto &kv : m_Subscriptions) {
        ids.push_back(kv.first);
    }
    for (const int id : ids) {
        EndSubscription(id);
    }
    for (auto &[name, l] : m_Learning) {
        if (l.timer != 0) {
            g_source_remove(l.timer);
        }
    }
    m_Learning.clear();
}

void COnvifFront::RecorderAdded(const RecorderEntry &recorder)
{
    Device d{recorder.name,      recorder.name, {}, DeviceUuid(recorder.name), DeviceSerial(recorder.name),
             recorder.stateKinds};
    for (int ch = 0; ch < recorder.channels; ++ch) {
        d.channels.push_back(ch);
        if (m_Site.onvif.channelDevices) {
            const std::string key = recorder.name + "/" + std::to_string(ch);
            m_Devices[key] = Device{key, recorder.name, {ch}, DeviceUuid(key), DeviceSerial(key), recorder.stateKinds};
        }
    }
    m_Devices[recorder.name] = std::move(d);
    if (m_pDiscovery != nullptr) {
        for (const DiscoveredDevice &found : Discovered(recorder.name)) {
            m_pDiscovery->Hello(found);
        }
    }
    Learning &l = m_Learning[recorder.name];
    for (int ch = 0; ch < recorder.channels; ++ch) {
        l.channels.push_back(ch);
    }
    if (l.reader == nullptr) {
        Learn(recorder.name);
    }
}

void COnvifFront::RecorderRemoved(const std::string &name, int)
{
    if (m_pDiscovery != nullptr) {
        for (const DiscoveredDevice &gone : Discovered(name)) {
            m_pDiscovery->Bye(gone);
        }
    }
    std::erase_if(m_Devices, [&](const auto &kv) { return kv.second.recorder == name; });
    std::erase_if(m_Video, [&](const auto &kv) { return kv.first.first == name; });
    std::erase_if(m_States, [&](const auto &kv) { return std::get<0>(kv.first) == name; });
    if (const auto it = m_Learning.find(name); it != m_Learning.end()) {
        if (it->second.timer != 0) {
            g_source_remove(it->second.timer);
        }
        m_Learning.erase(it);
    }
    std::vector<int> gone;
    for (const auto &[id, s] : m_Subscriptions) {
        if (m_Devices.count(s.device) == 0) {
            gone.push_back(id);
        }
    }
    for (const int id : gone) {
        EndSubscription(id);
    }
}

// Learns the picture size of the recorder's channels one at a time: from
// the cached group of a channel that plays, else by reading its stream
// until its first keyframe (bounded in time).
void COnvifFront::Learn(const std::string &recorder)
{
    auto it = m_Learning.find(recorder);
    while (it != m_Learning.end() && !it->second.channels.empty()) {
        Learning &l = it->second;
        const int ch = l.channels.front();
        l.channels.pop_front();
        if (const auto hub = m_Directory.Stream(recorder, ch)) {
            std::vector<std::vector<uint8_t>> units;
            if (hub->CopyCachedGroup(units) && !units.empty()) {
                if (const Video v = VideoOf(units.front()); v.Known()) {
                    m_Video[{recorder, ch}] = v;
                    continue;
                }
            }
        }
        auto alive = m_Alive;
        auto grab =
            std::make_shared<CSnapshotGrab>([this, alive, recorder, ch](std::vector<std::vector<uint8_t>> units) {
                Video v = units.empty() ? Video{} : VideoOf(units.front());
                OnMain(alive, [this, recorder, ch, v] { Learnt(recorder, ch, v); });
            });
        l.reader = m_Directory.OpenReader(recorder, ch, grab, ReaderOptions{StartPolicy::CachedGroup, true});
        if (l.reader == nullptr) {
            continue;
        }
        struct Timeout {
            COnvifFront *front;
            std::string recorder;
            int ch;
        };
        l.timer = g_timeout_add_seconds_full(
            G_PRIORITY_DEFAULT, kLearnSeconds,
            +[](gpointer data) -> gboolean {
                auto *t = static_cast<Timeout *>(data);
                if (const auto i = t->front->m_Learning.find(t->recorder); i != t->front->m_Learning.end()) {
                    i->second.timer = 0;
                }
                t->front->Learnt(t->recorder, t->ch, Video{});
                return G_SOURCE_REMOVE;
            },
            new Timeout{this, recorder, ch}, [](gpointer data) { delete static_cast<Timeout *>(data); });
        return;
    }
}

void COnvifFront::Learnt(const std::string &recorder, int ch, Video v)
{
    const auto it = m_Learning.find(recorder);
    if (it == m_Learning.end() || it->second.reader == nullptr) {
        return;  // already done (its time ran out, or the recorder left)
    }
    if (it->second.timer != 0) {
        g_source_remove(it->second.timer);
        it->second.timer = 0;
    }
    it->second.reader.reset();
    if (v.Known()) {
        m_Video[{recorder, ch}] = v;
    } else {
        Log("onvif: %s channel %d: no keyframe within %u s: its picture size is not known yet", recorder.c_str(), ch,
            kLearnSeconds);
    }
    Learn(recorder);
}

Video COnvifFront::VideoOfChannel(const std::string &recorder, int ch) const
{
    Video v;
    if (const auto it = m_Video.find({recorder, ch}); it != m_Video.end()) {
        v = it->second;
    }
    if (v.fps <= 0) {
        // No timing in the SPS: the rate measured, else a common one.
        for (const RecorderStatus &r : m_Directory.Status().recorders) {
            if (r.name == recorder && ch < static_cast<int>(r.channels.size()) && r.channels[ch].fps > 0) {
                v.fps = std::round(r.channels[ch].fps);
            }
        }
        if (v.fps <= 0) {
            v.fps = 25;
        }
    }
    return v;
}

bool COnvifFront::Serve(SoupServerMessage *msg, const std::string &path, const std::string &user)
{
    if (path.rfind(kPrefix, 0) != 0) {
        return false;
    }
    // /onvif/KEY/SERVICE[/pull/ID], KEY being NAME or NAME/CH.
    Request r;
    r.msg = msg;
    r.user = user;
    std::string rest = path.substr(std::strlen(kPrefix));
    if (const size_t pull = rest.find("/events_service/pull/"); pull != std::string::npos) {
        r.subscription = std::atoi(rest.c_str() + pull + std::strlen("/events_service/pull/"));
        rest = rest.substr(0, pull) + "/events_service";
    }
    const size_t slash = rest.rfind('/');
    if (slash == std::string::npos) {
        return false;
    }
    const auto device = m_Devices.find(rest.substr(0, slash));
    r.service = rest.substr(slash + 1);
    if (device == m_Devices.end() ||
        (r.service != "device_service" && r.service != "media_service" && r.service != "events_service")) {
        soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
        soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_STATIC, "no such ONVIF service\n", 22);
        return true;
    }
    r.device = &device->second;
    auto reply = [msg](const Answer &a) {
        soup_server_message_set_status(msg, a.status, nullptr);
        soup_server_message_set_response(msg, "application/soap+xml; charset=utf-8", SOUP_MEMORY_COPY, a.xml.data(),
                                         a.xml.size());
    };
    if (std::strcmp(soup_server_message_get_method(msg), "POST") != 0) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "POST");
        soup_server_message_set_status(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
        return true;
    }
    SoupMessageBody *body = soup_server_message_get_request_body(msg);
    if (body->length > static_cast<goffset>(kMaxSoapBytes)) {
        soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
        return true;
    }
    if (body->length == 0 && m_pDigest != nullptr && user.empty()) {
        // An HTTP client that logs in with digest asks first with no body.
        soup_auth_domain_challenge(m_pDigest, msg);
        reply(Fault(SOUP_STATUS_UNAUTHORIZED, "Sender", "ter:NotAuthorized", "Sender not authorized"));
        return true;
    }
    GBytes *bytes = soup_message_body_flatten(body);
    gsize size = 0;
    const char *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    std::string why;
    const SoapRead read = ReadSoapRequest(data != nullptr ? data : "", size, r.soap, why);
    g_bytes_unref(bytes);
    if (read == SoapRead::TooLarge) {
        soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
        return true;
    }
    if (read != SoapRead::Ok) {
        reply(Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "ter:WellFormed", why));
        return true;
    }
    GUri *uri = soup_server_message_get_uri(msg);
    const char *host = uri != nullptr ? g_uri_get_host(uri) : nullptr;
    r.hostName = host != nullptr && *host != '\0' ? host : m_Site.httpListen.address;
    if (r.hostName.find(':') != std::string::npos && r.hostName.front() != '[') {
        r.hostName = "[" + r.hostName + "]";
    }
    const int port = uri != nullptr ? g_uri_get_port(uri) : -1;
    r.host = r.hostName + (port > 0 ? ":" + std::to_string(port) : "");
    std::optional<Answer> answer = Authenticate(r);
    if (!answer) {
        answer = Dispatch(r);
    }
    if (answer) {
        reply(*answer);
    }
    return true;
}

std::optional<Answer> COnvifFront::Authenticate(Request &r)
{
    if (PreAuth(r.soap.ns, r.soap.operation)) {
        return std::nullopt;
    }
    const UsernameToken &t = r.soap.token;
    if (!m_Directory.Access().LoginNeeded()) {
        // No credentials configured: any token, or none, is the site's.
        r.user = "";
    } else if (t.present) {
        const std::optional<std::string> password = m_Directory.Access().PasswordOf(t.user);
        const CTokenCheck::Verdict v =
            password ? m_Tokens.Check(t, *password, NowMs()) : CTokenCheck::Verdict::BadPassword;
        if (v != CTokenCheck::Verdict::Ok) {
            Log("onvif: %s: %s refused (%s)", r.device->key.c_str(), t.user.c_str(),
                v == CTokenCheck::Verdict::Stale      ? "its time is outside the gateway's clock's window"
                : v == CTokenCheck::Verdict::Replayed ? "its nonce was used before"
                                                      : "wrong user or password");
            return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "ter:NotAuthorized", "Sender not authorized");
        }
        r.user = t.user;
    } else if (char *digestUser = m_pDigest != nullptr ? soup_auth_domain_accepts(m_pDigest, r.msg) : nullptr) {
        r.user = digestUser;
        g_free(digestUser);
    } else if (r.user.empty()) {
        // Neither a token nor HTTP credentials: asked for the digest.
        if (m_pDigest != nullptr) {
            soup_auth_domain_challenge(m_pDigest, r.msg);
        }
        return Fault(SOUP_STATUS_UNAUTHORIZED, "Sender", "ter:NotAuthorized", "Sender not authorized");
    }
    const Action action = r.service == "events_service" ? Action::Status : Action::View;
    const int channel = r.device->channels.size() == 1 ? r.device->channels.front() : -1;
    if (!m_Directory.May(r.user, action, r.device->recorder, channel)) {
        return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "ter:NotAuthorized", "Sender not authorized");
    }
    return std::nullopt;
}

std::optional<Answer> COnvifFront::Dispatch(Request &r)
{
    if (r.soap.ns == kNsDevice) {
        return DeviceOperation(r);
    }
    if (r.soap.ns == kNsMedia) {
        return MediaOperation(r);
    }
    if (r.soap.ns == kNsEvents || r.soap.ns == kNsWsnt) {
        return EventOperation(r);
    }
    return NotSupported(r.soap.operation);
}

// A device's scopes: what it is, its name, hardware and location.
std::vector<std::string> COnvifFront::Scopes(const Device &d) const
{
    auto escaped = [](const std::string &text) {
        gchar *e = g_uri_escape_string(text.c_str(), nullptr, FALSE);
        std::string out = e;
        g_free(e);
        return out;
    };
    std::vector<std::string> out{"onvif://www.onvif.org/Profile/Streaming", "onvif://www.onvif.org/type/video_encoder",
                                 "onvif://www.onvif.org/name/" + escaped(d.key),
                                 "onvif://www.onvif.org/hardware/" + escaped(m_Site.onvif.hardware)};
    if (!m_Site.onvif.location.empty()) {
        out.push_back("onvif://www.onvif.org/location/" + escaped(m_Site.onvif.location));
    }
    return out;
}

// The devices as WS-Discovery tells of them (those of one recorder, or all).
std::vector<DiscoveredDevice> COnvifFront::Discovered(const std::string &recorder) const
{
    std::vector<DiscoveredDevice> out;
    for (const auto &[key, d] : m_Devices) {
        if (recorder.empty() || d.recorder == recorder) {
            out.push_back({key, d.uuid, Scopes(d)});
        }
    }
    return out;
}

std::string COnvifFront::ServiceUrl(const Request &r, const char *service) const
{
    return "http://" + r.host + kPrefix + r.device->key + "/" + service;
}

Answer COnvifFront::DeviceOperation(const Request &r)
{
    const std::string &op = r.soap.operation;
    const Device &d = *r.device;
    const std::string device = ServiceUrl(r, "device_service");
    const std::string media = ServiceUrl(r, "media_service");
    const std::string events = ServiceUrl(r, "events_service");
    if (op == "GetSystemDateAndTime") {
        GDateTime *now = g_date_time_new_now_utc();
        char text[256];
        std::snprintf(text, sizeof text,
                      "<tt:Hour>%d</tt:Hour><tt:Minute>%d</tt:Minute><tt:Second>%d</tt:Second></tt:Time>"
                      "<tt:Date><tt:Year>%d</tt:Year><tt:Month>%d</tt:Month><tt:Day>%d</tt:Day></tt:Date>",
                      g_date_time_get_hour(now), g_date_time_get_minute(now), g_date_time_get_second(now),
                      g_date_time_get_year(now), g_date_time_get_month(now), g_date_time_get_day_of_month(now));
        g_date_time_unref(now);
        return Ok("<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>NTP</tt:DateTimeType>"
                  "<tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>UTC0</tt:TZ></tt:TimeZone>"
                  "<tt:UTCDateTime><tt:Time>" +
                  std::string(text) + "</tt:UTCDateTime></tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>");
    }
    if (op == "GetCapabilities") {
        return Ok(
            "<tds:GetCapabilitiesResponse><tds:Capabilities>"
            "<tt:Device><tt:XAddr>" +
            Xml(device) +
            "</tt:XAddr><tt:Network><tt:IPFilter>false</tt:IPFilter><tt:ZeroConfiguration>false</"
            "tt:ZeroConfiguration><tt:IPVersion6>false</tt:IPVersion6><tt:DynDNS>false</tt:DynDNS></tt:Network>"
            "<tt:System><tt:DiscoveryResolve>false</tt:DiscoveryResolve><tt:DiscoveryBye>false</"
            "tt:DiscoveryBye><tt:RemoteDiscovery>false</tt:RemoteDiscovery><tt:SystemBackup>false</"
            "tt:SystemBackup><tt:SystemLogging>false</tt:SystemLogging><tt:FirmwareUpgrade>false</"
            "tt:FirmwareUpgrade><tt:SupportedVersions><tt:Major>2</tt:Major><tt:Minor>60</tt:Minor></"
            "tt:SupportedVersions></tt:System>"
            "<tt:Security><tt:TLS1.1>false</tt:TLS1.1><tt:TLS1.2>false</tt:TLS1.2><tt:OnboardKeyGeneration>false</"
            "tt:OnboardKeyGeneration><tt:AccessPolicyConfig>false</tt:AccessPolicyConfig><tt:X.509Token>false</"
            "tt:X.509Token><tt:SAMLToken>false</tt:SAMLToken><tt:KerberosToken>false</"
            "tt:KerberosToken><tt:RELToken>false</tt:RELToken></tt:Security></tt:Device>"
            "<tt:Events><tt:XAddr>" +
            Xml(events) +
            "</tt:XAddr><tt:WSSubscriptionPolicySupport>false</tt:WSSubscriptionPolicySupport>"
            "<tt:WSPullPointSupport>true</tt:WSPullPointSupport>"
            "<tt:WSPausableSubscriptionManagerInterfaceSupport>false</"
            "tt:WSPausableSubscriptionManagerInterfaceSupport></tt:Events>"
            "<tt:Media><tt:XAddr>" +
            Xml(media) +
            "</tt:XAddr><tt:StreamingCapabilities><tt:RTPMulticast>false</tt:RTPMulticast>"
            "<tt:RTP_TCP>true</tt:RTP_TCP><tt:RTP_RTSP_TCP>true</tt:RTP_RTSP_TCP></tt:StreamingCapabilities>"
            "</tt:Media></tds:Capabilities></tds:GetCapabilitiesResponse>");
    }
    const std::string deviceCaps =
        "<tds:Capabilities><tds:Network IPFilter=\"false\" ZeroConfiguration=\"false\" IPVersion6=\"false\" "
        "DynDNS=\"false\"/><tds:Security UsernameToken=\"true\" HttpDigest=\"false\"/><tds:System "
        "DiscoveryResolve=\"false\" DiscoveryBye=\"false\" RemoteDiscovery=\"false\" SystemBackup=\"false\" "
        "SystemLogging=\"false\" FirmwareUpgrade=\"false\"/></tds:Capabilities>";
    const std::string mediaCaps =
        "<trt:Capabilities SnapshotUri=\"true\" Rotation=\"false\" VideoSourceMode=\"false\" OSD=\"false\">"
        "<trt:ProfileCapabilities MaximumNumberOfProfiles=\"" +
        std::to_string(d.channels.size()) +
        "\"/><trt:StreamingCapabilities RTPMulticast=\"false\" RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\" "
        "NonAggregateControl=\"false\" NoRTSPStreaming=\"false\"/></trt:Capabilities>";
    const std::string eventCaps =
        "<tev:Capabilities WSSubscriptionPolicySupport=\"false\" WSPullPointSupport=\"true\" "
        "WSPausableSubscriptionManagerInterfaceSupport=\"false\" MaxNotificationProducers=\"0\" "
        "MaxPullPoints=\"" +
        std::to_string(kSubscriptionsPerDevice) + "\"/>";
    if (op == "GetServices") {
        const bool caps = r.soap.Field("IncludeCapability") == "true";
        auto service = [&](const char *ns, const std::string &addr, const std::string &c) {
            return std::string("<tds:Service><tds:Namespace>") + ns + "</tds:Namespace><tds:XAddr>" + Xml(addr) +
                   "</tds:XAddr>" + (caps ? "<tds:Capabilities>" + c + "</tds:Capabilities>" : "") +
                   "<tds:Version><tt:Major>2</tt:Major><tt:Minor>60</tt:Minor></tds:Version></tds:Service>";
        };
        return Ok("<tds:GetServicesResponse>" + service(kNsDevice, device, deviceCaps) +
                  service(kNsMedia, media, mediaCaps) + service(kNsEvents, events, eventCaps) +
                  "</tds:GetServicesResponse>");
    }
    if (op == "GetServiceCapabilities") {
        return Ok("<tds:GetServiceCapabilitiesResponse>" + deviceCaps + "</tds:GetServiceCapabilitiesResponse>");
    }
    if (op == "GetDeviceInformation") {
        return Ok("<tds:GetDeviceInformationResponse><tds:Manufacturer>kestrelnet</tds:Manufacturer><tds:Model>" +
                  Xml(m_Site.onvif.hardware) + "</tds:Model><tds:FirmwareVersion>" + Xml(m_Directory.Status().version) +
                  "</tds:FirmwareVersion><tds:SerialNumber>" + d.serial + "</tds:SerialNumber><tds:HardwareId>" +
                  Xml(m_Site.onvif.hardware) + "</tds:HardwareId></tds:GetDeviceInformationResponse>");
    }
    if (op == "GetScopes") {
        std::string scopes;
        for (const std::string &scope : Scopes(d)) {
            scopes += "<tds:Scopes><tt:ScopeDef>Fixed</tt:ScopeDef><tt:ScopeItem>" + Xml(scope) +
                      "</tt:ScopeItem></tds:Scopes>";
        }
        return Ok("<tds:GetScopesResponse>" + scopes + "</tds:GetScopesResponse>");
    }
    if (op == "GetHostname") {
        return Ok("<tds:GetHostnameResponse><tds:HostnameInformation><tt:FromDHCP>false</tt:FromDHCP><tt:Name>" +
                  Xml(g_get_host_name()) + "</tt:Name></tds:HostnameInformation></tds:GetHostnameResponse>");
    }
    if (op == "GetNetworkInterfaces") {
        return Ok("<tds:GetNetworkInterfacesResponse><tds:NetworkInterfaces token=\"eth0\"><tt:Enabled>true</"
                  "tt:Enabled><tt:IPv4><tt:Enabled>true</tt:Enabled><tt:Config><tt:Manual><tt:Address>" +
                  Xml(r.hostName) +
                  "</tt:Address><tt:PrefixLength>24</tt:PrefixLength></tt:Manual><tt:DHCP>false</tt:DHCP></"
                  "tt:Config></tt:IPv4></tds:NetworkInterfaces></tds:GetNetworkInterfacesResponse>");
    }
    if (op == "GetNetworkProtocols") {
        const std::string httpPort = r.host.substr(r.host.rfind(':') + 1);
        return Ok("<tds:GetNetworkProtocolsResponse><tds:NetworkProtocols><tt:Name>HTTP</tt:Name><tt:Enabled>true</"
                  "tt:Enabled><tt:Port>" +
                  Xml(httpPort) +
                  "</tt:Port></tds:NetworkProtocols><tds:NetworkProtocols><tt:Name>RTSP</tt:Name><tt:Enabled>true</"
                  "tt:Enabled><tt:Port>" +
                  std::to_string(m_Site.listen.front().port) +
                  "</tt:Port></tds:NetworkProtocols></tds:GetNetworkProtocolsResponse>");
    }
    if (op == "GetUsers") {
        std::string users;
        for (const std::string &name : m_Directory.Access().PasswordUsers()) {
            users +=
                "<tds:User><tt:Username>" + Xml(name) + "</tt:Username><tt:UserLevel>User</tt:UserLevel></tds:User>";
        }
        return Ok("<tds:GetUsersResponse>" + users + "</tds:GetUsersResponse>");
    }
    if (op == "GetWsdlUrl") {
        return Ok("<tds:GetWsdlUrlResponse><tds:WsdlUrl>http://www.onvif.org/ver10/device/wsdl/devicemgmt.wsdl</"
                  "tds:WsdlUrl></tds:GetWsdlUrlResponse>");
    }
    if (op == "GetEndpointReference") {
        return Ok("<tds:GetEndpointReferenceResponse><tds:GUID>urn:uuid:" + d.uuid +
                  "</tds:GUID></tds:GetEndpointReferenceResponse>");
    }
    return NotSupported(op);
}

int COnvifFront::TokenChannel(const Device &d, const std::string &token, const char *prefix)
{
    const size_t n = std::strlen(prefix);
    if (token.rfind(prefix, 0) != 0 || token.size() == n || token.size() > n + 3) {
        return -1;
    }
    for (size_t i = n; i < token.size(); ++i) {
        if (token[i] < '0' || token[i] > '9') {
            return -1;
        }
    }
    const int ch = std::atoi(token.c_str() + n);
    return std::find(d.channels.begin(), d.channels.end(), ch) != d.channels.end() ? ch : -1;
}

std::string COnvifFront::VideoSourceConfiguration(int ch, const Video &v) const
{
    const std::string c = std::to_string(ch);
    return "<tt:Name>source " + c + "</tt:Name><tt:UseCount>1</tt:UseCount><tt:SourceToken>vs_" + c +
           "</tt:SourceToken><tt:Bounds x=\"0\" y=\"0\" width=\"" + std::to_string(v.width) + "\" height=\"" +
           std::to_string(v.height) + "\"/>";
}

std::string COnvifFront::EncoderConfiguration(int ch, const Video &v) const
{
    const std::string c = std::to_string(ch);
    return "<tt:Name>H.264 " + c +
           "</tt:Name><tt:UseCount>1</tt:UseCount><tt:Encoding>H264</tt:Encoding>"
           "<tt:Resolution><tt:Width>" +
           std::to_string(v.width) + "</tt:Width><tt:Height>" + std::to_string(v.height) +
           "</tt:Height></tt:Resolution><tt:Quality>5</tt:Quality><tt:RateControl><tt:FrameRateLimit>" +
           std::to_string(static_cast<int>(std::lround(v.fps))) +
           "</tt:FrameRateLimit><tt:EncodingInterval>1</tt:EncodingInterval><tt:BitrateLimit>4096</"
           "tt:BitrateLimit></tt:RateControl><tt:H264><tt:GovLength>" +
           std::to_string(static_cast<int>(std::lround(v.fps))) +
           "</tt:GovLength><tt:H264Profile>Main</tt:H264Profile></tt:H264><tt:Multicast><tt:Address><tt:Type>IPv4</"
           "tt:Type><tt:IPv4Address>0.0.0.0</tt:IPv4Address></tt:Address><tt:Port>0</tt:Port><tt:TTL>0</"
           "tt:TTL><tt:AutoStart>false</tt:AutoStart></tt:Multicast><tt:SessionTimeout>PT60S</tt:SessionTimeout>";
}

std::string COnvifFront::Profile(const Device &d, int ch) const
{
    const Video v = VideoOfChannel(d.recorder, ch);
    const std::string c = std::to_string(ch);
    return "<trt:Profiles token=\"profile_" + c + "\" fixed=\"true\"><tt:Name>" + Xml(d.recorder) + " channel " + c +
           "</tt:Name><tt:VideoSourceConfiguration token=\"vsc_" + c + "\">" + VideoSourceConfiguration(ch, v) +
           "</tt:VideoSourceConfiguration><tt:VideoEncoderConfiguration token=\"vec_" + c + "\">" +
           EncoderConfiguration(ch, v) + "</tt:VideoEncoderConfiguration></trt:Profiles>";
}

Answer COnvifFront::MediaOperation(const Request &r)
{
    const std::string &op = r.soap.operation;
    const Device &d = *r.device;
    auto each = [&](const std::function<std::string(int)> &f) {
        std::string out;
        for (const int ch : d.channels) {
            out += f(ch);
        }
        return out;
    };
    if (op == "GetProfiles") {
        return Ok("<trt:GetProfilesResponse>" + each([&](int ch) { return Profile(d, ch); }) +
                  "</trt:GetProfilesResponse>");
    }
    if (op == "GetVideoSources") {
        return Ok("<trt:GetVideoSourcesResponse>" + each([&](int ch) {
                      const Video v = VideoOfChannel(d.recorder, ch);
                      return "<trt:VideoSources token=\"vs_" + std::to_string(ch) + "\"><tt:Framerate>" +
                             std::to_string(v.fps) + "</tt:Framerate><tt:Resolution><tt:Width>" +
                             std::to_string(v.width) + "</tt:Width><tt:Height>" + std::to_string(v.height) +
                             "</tt:Height></tt:Resolution></trt:VideoSources>";
                  }) +
                  "</trt:GetVideoSourcesResponse>");
    }
    if (op == "GetVideoSourceConfigurations") {
        return Ok("<trt:GetVideoSourceConfigurationsResponse>" + each([&](int ch) {
                      return "<trt:Configurations token=\"vsc_" + std::to_string(ch) + "\">" +
                             VideoSourceConfiguration(ch, VideoOfChannel(d.recorder, ch)) + "</trt:Configurations>";
                  }) +
                  "</trt:GetVideoSourceConfigurationsResponse>");
    }
    if (op == "GetVideoEncoderConfigurations") {
        return Ok("<trt:GetVideoEncoderConfigurationsResponse>" + each([&](int ch) {
                      return "<trt:Configurations token=\"vec_" + std::to_string(ch) + "\">" +
                             EncoderConfiguration(ch, VideoOfChannel(d.recorder, ch)) + "</trt:Configurations>";
                  }) +
                  "</trt:GetVideoEncoderConfigurationsResponse>");
    }
    if (op == "GetAudioSources") {
        return Ok("<trt:GetAudioSourcesResponse/>");
    }
    if (op == "GetAudioSourceConfigurations" || op == "GetAudioEncoderConfigurations") {
        return Ok("<trt:" + op + "Response/>");
    }
    const std::string &token =
        r.soap.Field(op == "GetVideoSourceConfiguration" || op == "GetVideoEncoderConfiguration" ||
                             op == "GetVideoEncoderConfigurationOptions"
                         ? "ConfigurationToken"
                         : "ProfileToken");
    if (op == "GetProfile" || op == "GetStreamUri" || op == "GetSnapshotUri") {
        const int ch = TokenChannel(d, token, "profile_");
        if (ch < 0) {
            return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "ter:InvalidArgVal", "no such profile");
        }
        if (op == "GetProfile") {
            std::string p = Profile(d, ch);
            p.replace(0, std::strlen("<trt:Profiles"), "<trt:Profile");
            p.replace(p.size() - std::strlen("</trt:Profiles>"), std::strlen("</trt:Profiles>"), "</trt:Profile>");
            return Ok("<trt:GetProfileResponse>" + p + "</trt:GetProfileResponse>");
        }
        const std::string path = "/" + d.recorder + "/" + std::to_string(ch);
        std::string uri;
        if (op == "GetSnapshotUri") {
            uri = "http://" + r.host + path + ".jpg";
        } else {
            // RTP over UDP, over the RTSP connection and RTSP tunnelled in
            // HTTP are all set up at the one address: GStreamer's RTSP
            // server takes the HTTP tunnel on its own port, and the client
            // picks the transport as it sets the stream up.
            uri = "rtsp://" + r.hostName + ":" + std::to_string(m_Site.listen.front().port) + path;
        }
        return Ok("<trt:" + op + "Response><trt:MediaUri><tt:Uri>" + Xml(uri) +
                  "</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect><tt:InvalidAfterReboot>false</"
                  "tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri></trt:" +
                  op + "Response>");
    }
    if (op == "GetVideoSourceConfiguration") {
        const int ch = TokenChannel(d, token, "vsc_");
        if (ch < 0) {
            return NoSuchToken("video source configuration");
        }
        return Ok("<trt:GetVideoSourceConfigurationResponse><trt:Configuration token=\"" + token + "\">" +
                  VideoSourceConfiguration(ch, VideoOfChannel(d.recorder, ch)) +
                  "</trt:Configuration></trt:GetVideoSourceConfigurationResponse>");
    }
    if (op == "GetVideoEncoderConfiguration") {
        const int ch = TokenChannel(d, token, "vec_");
        if (ch < 0) {
            return NoSuchToken("video encoder configuration");
        }
        return Ok("<trt:GetVideoEncoderConfigurationResponse><trt:Configuration token=\"" + token + "\">" +
                  EncoderConfiguration(ch, VideoOfChannel(d.recorder, ch)) +
                  "</trt:Configuration></trt:GetVideoEncoderConfigurationResponse>");
    }
    if (op == "GetVideoEncoderConfigurationOptions") {
        // The recorder's stream is passed on as it comes: its one setting.
        int ch = TokenChannel(d, token, "vec_");
        if (ch < 0) {
            ch = TokenChannel(d, r.soap.Field("ProfileToken"), "profile_");
        }
        if (ch < 0) {
            ch = d.channels.front();
        }
        const Video v = VideoOfChannel(d.recorder, ch);
        const std::string fps = std::to_string(static_cast<int>(std::lround(v.fps)));
        return Ok("<trt:GetVideoEncoderConfigurationOptionsResponse><trt:Options><tt:QualityRange><tt:Min>5</"
                  "tt:Min><tt:Max>5</tt:Max></tt:QualityRange><tt:H264><tt:ResolutionsAvailable><tt:Width>" +
                  std::to_string(v.width) + "</tt:Width><tt:Height>" + std::to_string(v.height) +
                  "</tt:Height></tt:ResolutionsAvailable><tt:GovLengthRange><tt:Min>1</tt:Min><tt:Max>" + fps +
                  "</tt:Max></tt:GovLengthRange><tt:FrameRateRange><tt:Min>" + fps + "</tt:Min><tt:Max>" + fps +
                  "</tt:Max></tt:FrameRateRange><tt:EncodingIntervalRange><tt:Min>1</tt:Min><tt:Max>1</tt:Max></"
                  "tt:EncodingIntervalRange><tt:H264ProfilesSupported>Main</tt:H264ProfilesSupported></tt:H264></"
                  "trt:Options></trt:GetVideoEncoderConfigurationOptionsResponse>");
    }
    return NotSupported(op);
}

std::string COnvifFront::SubscriptionAddress(const std::string &host, const Subscription &s) const
{
    return "http://" + host + kPrefix + s.device + "/events_service/pull/" + std::to_string(s.id);
}

void COnvifFront::AddInitialStates(Subscription &s, const std::string &recorder, int channel)
{
    for (const auto &[key, e] : m_States) {
        if (std::get<0>(key) == recorder && (channel < 0 || std::get<2>(key) == channel)) {
            Note n = NoteOf(e);
            n.operation = "Initialized";
            Notify(s, std::move(n));
        }
    }
}

std::optional<Answer> COnvifFront::EventOperation(Request &r)
{
    const std::string &op = r.soap.operation;
    const Device &d = *r.device;
    const int64_t now = NowMs();
    const int channel = d.channels.size() == 1 && d.key != d.recorder ? d.channels.front() : -1;
    if (op == "GetEventProperties") {
        auto topic = [](const std::string &path, const std::string &source, const std::string &data,
                        bool state = true) {
            std::string open, close;
            size_t at = 0;
            while (true) {
                const size_t slash = path.find('/', at);
                const std::string part = path.substr(at, slash - at);
                open += "<" + part + (slash == std::string::npos ? " wstop:topic=\"true\">" : ">");
                close = "</" + part.substr(0, part.find(' ')) + ">" + close;
                if (slash == std::string::npos) {
                    break;
                }
                at = slash + 1;
            }
            return open + "<tt:MessageDescription IsProperty=\"" + (state ? "true" : "false") +
                   "\"><tt:Source><tt:SimpleItemDescription Name=\"" + source +
                   "\" Type=\"xs:string\"/></tt:Source><tt:Data><tt:SimpleItemDescription Name=\"" + data +
                   "\" Type=\"" + (state ? "xs:boolean" : "xs:string") + "\"/></tt:Data></tt:MessageDescription>" +
                   close;
        };
        std::string set = topic("tns1:VideoSource/MotionAlarm", "Source", "State") +
                          topic("tns1:Device/Trigger/DigitalInput", "InputToken", "LogicalState");
        for (const EventKind k : {EventKind::RecorderLoggedIn, EventKind::RecorderLost, EventKind::RecorderBack,
                                  EventKind::ChannelPlaying, EventKind::ChannelLost}) {
            set += topic("kn:Gateway/" + std::string(KindName(k)), "Channel", "Detail", false);
        }
        const std::set<std::string> kinds(d.kinds.begin(), d.kinds.end());
        for (const std::string &k : kinds) {
            if (k != "motion" && k.find("input") == std::string::npos) {
                set += topic("kn:State/" + k, "Channel", "State");
            }
        }
        return Ok("<tev:GetEventPropertiesResponse><tev:TopicNamespaceLocation>http://www.onvif.org/onvif/ver10/"
                  "topics/topicns.xml</tev:TopicNamespaceLocation><wsnt:FixedTopicSet>true</wsnt:FixedTopicSet>"
                  "<wstop:TopicSet>" +
                  set +
                  "</wstop:TopicSet><wsnt:TopicExpressionDialect>http://www.onvif.org/ver10/tev/topicExpression/"
                  "ConcreteSet</wsnt:TopicExpressionDialect><wsnt:TopicExpressionDialect>http://docs.oasis-open.org/"
                  "wsn/t-1/TopicExpression/Concrete</wsnt:TopicExpressionDialect><tev:MessageContentFilterDialect>"
                  "http://www.onvif.org/ver10/tev/messageContentFilter/ItemFilter</tev:MessageContentFilterDialect>"
                  "<tev:MessageContentSchemaLocation>http://www.onvif.org/onvif/ver10/schema/onvif.xsd</"
                  "tev:MessageContentSchemaLocation></tev:GetEventPropertiesResponse>");
    }
    if (op == "GetServiceCapabilities") {
        return Ok("<tev:GetServiceCapabilitiesResponse><tev:Capabilities WSSubscriptionPolicySupport=\"false\" "
                  "WSPullPointSupport=\"true\" WSPausableSubscriptionManagerInterfaceSupport=\"false\" "
                  "MaxNotificationProducers=\"0\" MaxPullPoints=\"" +
                  std::to_string(kSubscriptionsPerDevice) + "\"/></tev:GetServiceCapabilitiesResponse>");
    }
    if (op == "CreatePullPointSubscription") {
        const auto until = TerminationMs(r.soap.Field("InitialTerminationTime"), now);
        if (!until) {
            return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "wsnt:InvalidTerminationTimeFault",
                         "the initial termination time is no duration or time");
        }
        size_t count = 0;
        for (const auto &kv : m_Subscriptions) {
            count += kv.second.device == d.key ? 1 : 0;
        }
        if (count >= kSubscriptionsPerDevice) {
            return Fault(SOUP_STATUS_BAD_REQUEST, "Receiver", "ter:Action",
                         "this device holds " + std::to_string(kSubscriptionsPerDevice) + " subscriptions already");
        }
        Subscription &s = m_Subscriptions[m_nNextSubscription];
        s.id = m_nNextSubscription++;
        s.device = d.key;
        s.terminationMs = *until;
        AddInitialStates(s, d.recorder, channel);
        return Ok("<tev:CreatePullPointSubscriptionResponse><tev:SubscriptionReference><wsa:Address>" +
                  Xml(SubscriptionAddress(r.host, s)) + "</wsa:Address></tev:SubscriptionReference><wsnt:CurrentTime>" +
                  UtcText(now) + "</wsnt:CurrentTime><wsnt:TerminationTime>" + UtcText(s.terminationMs) +
                  "</wsnt:TerminationTime></tev:CreatePullPointSubscriptionResponse>");
    }
    if (op == "Subscribe") {
        return Fault(SOUP_STATUS_BAD_REQUEST, "Receiver", "ter:ActionNotSupported",
                     "notifications are pulled (CreatePullPointSubscription), not sent");
    }
    const auto it = m_Subscriptions.find(r.subscription);
    if (op != "PullMessages" && op != "Renew" && op != "Unsubscribe" && op != "SetSynchronizationPoint") {
        return NotSupported(op);
    }
    if (it == m_Subscriptions.end() || it->second.device != d.key) {
        return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "wsrf-rw:ResourceUnknownFault", "no such subscription");
    }
    Subscription &s = it->second;
    if (op == "Renew") {
        const auto until = TerminationMs(r.soap.Field("TerminationTime"), now);
        if (!until) {
            return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "wsnt:UnacceptableTerminationTimeFault",
                         "the termination time is no duration or time");
        }
        s.terminationMs = *until;
        return Ok("<wsnt:RenewResponse><wsnt:TerminationTime>" + UtcText(s.terminationMs) +
                  "</wsnt:TerminationTime><wsnt:CurrentTime>" + UtcText(now) +
                  "</wsnt:CurrentTime></wsnt:RenewResponse>");
    }
    if (op == "Unsubscribe") {
        EndSubscription(s.id);
        return Ok("<wsnt:UnsubscribeResponse/>");
    }
    if (op == "SetSynchronizationPoint") {
        AddInitialStates(s, d.recorder, channel);
        if (s.waiting != nullptr) {
            AnswerPull(s);
        }
        return Ok("<tev:SetSynchronizationPointResponse/>");
    }
    // PullMessages: answered now when notes wait, else held until one comes
    // or its time-out.
    const auto timeout = DurationMs(r.soap.Field("Timeout"));
    const int limit = std::clamp(std::atoi(r.soap.Field("MessageLimit").c_str()), 1, kMaxMessageLimit);
    if (!timeout) {
        return Fault(SOUP_STATUS_BAD_REQUEST, "Sender", "ter:InvalidArgVal", "the time-out is no duration");
    }
    if (s.waiting != nullptr) {
        AnswerPull(s);  // a newer pull replaces the one held
    }
    s.terminationMs = std::max(s.terminationMs, now + std::min(*timeout, kMaxPullWaitMs) + 1000);
    if (!s.pending.empty() || *timeout == 0) {
        return Ok(PullMessagesAnswer(s, limit, r.host));
    }
    s.waiting = SOUP_SERVER_MESSAGE(g_object_ref(r.msg));
    s.waitLimit = limit;
    s.waitHost = r.host;
    // Held: a status keeps the listener's other handlers off it.
    soup_server_message_set_status(r.msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_pause(r.msg);
    // A client that goes away while its pull is held leaves it.
    struct Gone {
        COnvifFront *front;
        std::shared_ptr<bool> alive;
        int id;
    };
    g_signal_connect_data(
        r.msg, "finished", G_CALLBACK(+[](SoupServerMessage *msg, gpointer data) {
            auto *g = static_cast<Gone *>(data);
            if (!*g->alive) {
                return;
            }
            const auto i = g->front->m_Subscriptions.find(g->id);
            if (i != g->front->m_Subscriptions.end() && i->second.waiting == msg) {
                if (i->second.waitTimer != 0) {
                    g_source_remove(i->second.waitTimer);
                    i->second.waitTimer = 0;
                }
                g_object_unref(i->second.waiting);
                i->second.waiting = nullptr;
            }
        }),
        new Gone{this, m_Alive, s.id}, [](gpointer data, GClosure *) { delete static_cast<Gone *>(data); },
        static_cast<GConnectFlags>(0));
    struct Wait {
        COnvifFront *front;
        int id;
    };
    s.waitTimer = g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(std::min(*timeout, kMaxPullWaitMs)),
        +[](gpointer data) -> gboolean {
            auto *w = static_cast<Wait *>(data);
            if (const auto i = w->front->m_Subscriptions.find(w->id); i != w->front->m_Subscriptions.end()) {
                i->second.waitTimer = 0;
                w->front->AnswerPull(i->second);
            }
            return G_SOURCE_REMOVE;
        },
        new Wait{this, s.id}, [](gpointer data) { delete static_cast<Wait *>(data); });
    return std::nullopt;
}

std::string COnvifFront::PullMessagesAnswer(Subscription &s, int limit, const std::string &)
{
    std::string notes;
    for (int n = 0; n < limit && !s.pending.empty(); ++n) {
        const Note &note = s.pending.front();
        notes += "<wsnt:NotificationMessage><wsnt:Topic "
                 "Dialect=\"http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet\">" +
                 note.topic + "</wsnt:Topic><wsnt:Message><tt:Message UtcTime=\"" + UtcText(note.unixMs) +
                 "\" PropertyOperation=\"" + note.operation + "\"><tt:Source>" + note.source + "</tt:Source><tt:Data>" +
                 note.data + "</tt:Data></tt:Message></wsnt:Message></wsnt:NotificationMessage>";
        s.pending.pop_front();
    }
    const int64_t now = NowMs();
    return "<tev:PullMessagesResponse><tev:CurrentTime>" + UtcText(now) + "</tev:CurrentTime><tev:TerminationTime>" +
           UtcText(s.terminationMs) + "</tev:TerminationTime>" + notes + "</tev:PullMessagesResponse>";
}

void COnvifFront::AnswerPull(Subscription &s)
{
    if (s.waiting == nullptr) {
        return;
    }
    if (s.waitTimer != 0) {
        g_source_remove(s.waitTimer);
        s.waitTimer = 0;
    }
    const std::string xml = Envelope(PullMessagesAnswer(s, s.waitLimit, s.waitHost));
    soup_server_message_set_status(s.waiting, SOUP_STATUS_OK, nullptr);
    soup_server_message_set_response(s.waiting, "application/soap+xml; charset=utf-8", SOUP_MEMORY_COPY, xml.data(),
                                     xml.size());
    soup_server_message_unpause(s.waiting);
    g_object_unref(s.waiting);
    s.waiting = nullptr;
}

void COnvifFront::Notify(Subscription &s, Note note)
{
    if (s.pending.size() >= kPendingPerSubscription) {
        s.pending.pop_front();
    }
    s.pending.push_back(std::move(note));
}

void COnvifFront::TakeEvents()
{
    m_Scheduled->store(false);
    if (m_pEvents == nullptr) {
        return;
    }
    std::set<int> woken;
    for (const Event &e : m_pEvents->Take()) {
        if (e.type == EventKind::Message || e.recorder.empty()) {
            continue;  // the raw message is told as its states; a reload is no device's
        }
        if (e.type == EventKind::State) {
            const auto key = std::make_tuple(e.recorder, e.kind, e.channel);
            if (e.active) {
                m_States[key] = e;
            } else {
                m_States.erase(key);
            }
        }
        const Note note = NoteOf(e);
        for (auto &[id, s] : m_Subscriptions) {
            const auto d = m_Devices.find(s.device);
            if (d == m_Devices.end() || d->second.recorder != e.recorder ||
                (d->second.key != d->second.recorder && e.channel != d->second.channels.front())) {
                continue;
            }
            Notify(s, note);
            woken.insert(id);
        }
    }
    for (const int id : woken) {
        if (const auto it = m_Subscriptions.find(id); it != m_Subscriptions.end()) {
            AnswerPull(it->second);
        }
    }
}

void COnvifFront::EndSubscription(int id)
{
    const auto it = m_Subscriptions.find(id);
    if (it == m_Subscriptions.end()) {
        return;
    }
    AnswerPull(it->second);  // a pull held is answered with what there is
    m_Subscriptions.erase(it);
}

void COnvifFront::Expire()
{
    const int64_t now = NowMs();
    std::vector<int> gone;
    for (const auto &[id, s] : m_Subscriptions) {
        if (s.terminationMs < now && s.waiting == nullptr) {
            gone.push_back(id);
        }
    }
    for (const int id : gone) {
        EndSubscription(id);
    }
}

}  // namespace

std::unique_ptr<IFront> MakeOnvifFront(const SiteConfig &site, ISiteDirectory &directory)
{
    if (!site.http || !site.onvif.enabled) {
        return nullptr;
    }
    return std::make_unique<COnvifFront>(site, directory);
}

}  // namespace kn::gateway
