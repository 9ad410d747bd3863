#include "tools/programs/gateway/status/gateway_status.h"

#include <atomic>

#include "tools/programs/gateway/status/json_text.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace kn::gateway {

namespace {

std::string Number(double v, int decimals = 3)
{
    if (!std::isfinite(v)) {
        return "0";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    // Trailing zeros say nothing.
    std::string s = text;
    while (s.size() > 1 && s.back() == '0') {
        s.pop_back();
    }
    if (s.back() == '.') {
        s.pop_back();
    }
    return s;
}

// A label value in the text format: backslash, quote and line end escaped.
std::string Label(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// "2026-12-09T05:01:02.345Z", or null.
Json UtcTime(int64_t unixMs)
{
    if (unixMs < 0) {
        return nullptr;
    }
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(unixMs % 1000));
    return std::string(text);
}

// The next attempt, in ms from now and as a time.
void Attempt(Json &o, int64_t inMs, int64_t nowUnixMs)
{
    o["next_attempt_in_ms"] = JsonOptional(inMs);
    o["next_attempt_at"] = UtcTime(inMs < 0 ? -1 : nowUnixMs + inMs);
}

// The readers by front; rtsp and web always, at 0 when there are none.
Json Clients(const ChannelStatus &ch)
{
    Json o = {{"rtsp", ch.Clients("rtsp")}, {"web", ch.Clients("web")}};
    for (const auto &[front, n] : ch.clients) {
        o[front] = n;
    }
    return o;
}

// The bytes sent by front; rtsp and web always.
Json SentBytes(const ChannelStatus &ch)
{
    Json o = {{"rtsp", 0}, {"web", 0}};
    for (const auto &[front, n] : ch.sentBytes) {
        o[front] = n;
    }
    return o;
}

Json Reports(const ChannelStatus &ch)
{
    Json o = Json::object();
    for (const auto &[front, r] : ch.reports) {
        const auto figure = [](double v) { return v < 0 ? Json(nullptr) : JsonFigure(v, 4); };
        o[front] = {{"clients", r.clients},
                    {"round_trip_ms", figure(r.roundTripMs)},
                    {"jitter_ms", figure(r.jitterMs)},
                    {"fraction_lost", figure(r.fractionLost)}};
    }
    return o;
}

uint64_t Skips(const ChannelStatus &ch, const char *front)
{
    const auto it = ch.skips.find(front);
    return it != ch.skips.end() ? it->second : 0;
}

struct Metric {
    const char *name;
    const char *type;
    const char *help;
};

}  // namespace

const char *ChannelState(const std::string &recorderState, const std::string &linkState)
{
    if (linkState == "playing" || linkState == "idle") {
        return linkState == "playing" ? "playing" : "idle";
    }
    return recorderState == "logged in" ? "reconnecting" : "lost";
}

bool ParseChannelPath(const std::string &path, std::string &name, int &channel, std::string &extension)
{
    const size_t slash = path.find('/', 1);
    const size_t dot = path.rfind('.');
    if (path.size() < 5 || path[0] != '/' || slash == std::string::npos || slash == 1 || dot == std::string::npos ||
        dot < slash + 2 || dot - slash - 1 > 3 || path.find('/', slash + 1) != std::string::npos) {
        return false;
    }
    int n = 0;
    for (size_t i = slash + 1; i < dot; ++i) {
        if (path[i] < '0' || path[i] > '9') {
            return false;
        }
        n = n * 10 + (path[i] - '0');
    }
    if (n > 255 || (dot - slash - 1 > 1 && path[slash + 1] == '0')) {
        return false;
    }
    name = path.substr(1, slash - 1);
    channel = n;
    extension = path.substr(dot + 1);
    return true;
}

namespace {
std::atomic<int> g_OnvifListing{0};  // 0 none, 1 recorders, 2 recorders and channels
}  // namespace

void SetOnvifListing(bool recorders, bool channels) { g_OnvifListing = recorders ? (channels ? 2 : 1) : 0; }

std::string StatusJson(const GatewayStatus &status)
{
    Json recorders = Json::array();
    for (const RecorderStatus &rec : status.recorders) {
        Json channels = Json::array();
        for (const ChannelStatus &ch : rec.channels) {
            Json c = {{"channel", ch.channel}, {"name", ch.name}, {"state", ch.state}, {"link_state", ch.linkState}};
            Attempt(c, ch.nextAttemptInMs, status.takenAtUnixMs);
            c["frames"] = ch.frames;
            c["bytes"] = ch.bytes;
            c["fps"] = JsonFigure(ch.fps);
            c["kbit_per_s"] = JsonFigure(ch.kbitPerSecond);
            c["keyframe_age_ms"] = JsonOptional(ch.keyframeAgeMs);
            c["reconnections"] = ch.reconnections;
            c["clients"] = Clients(ch);
            c["web_skips"] = Skips(ch, "web");
            c["sent_bytes"] = SentBytes(ch);
            c["reports"] = Reports(ch);
            c["preload"] = ch.preload;
            c["cache_frames"] = ch.cacheFrames;
            c["cache_bytes"] = ch.cacheBytes;
            c["cache_state"] = ch.cacheState;
            c["last_error"] = ch.lastError;
            c["stream"] = ch.streamUrl;
            c["snapshot"] = ch.snapshotUrl;
            c["rtsp"] = ch.rtspPath;
            if (g_OnvifListing.load() == 2) {
                c["onvif"] = "/onvif/" + rec.name + "/" + std::to_string(ch.channel) + "/device_service";
            }
            channels.push_back(std::move(c));
        }
        Json r = {{"name", rec.name}, {"address", rec.address}, {"state", rec.state}};
        Attempt(r, rec.nextAttemptInMs, status.takenAtUnixMs);
        r["logins"] = rec.logins;
        r["session_losses"] = rec.sessionLosses;
        r["last_error"] = rec.lastError;
        r["channels"] = std::move(channels);
        if (g_OnvifListing.load() != 0) {
            r["onvif"] = "/onvif/" + rec.name + "/device_service";
        }
        recorders.push_back(std::move(r));
    }
    Json reload = nullptr;
    if (status.lastReload.atUnixMs >= 0) {
        reload = {{"time", UtcTime(status.lastReload.atUnixMs)},
                  {"trigger", status.lastReload.trigger},
                  {"result", status.lastReload.applied ? "applied" : "refused"},
                  {"message", status.lastReload.message}};
    }
    const Json root = {{"version", status.version},
                       {"uptime", JsonFigure(status.uptime)},
                       {"time", UtcTime(status.takenAtUnixMs)},
                       {"last_reload", std::move(reload)},
                       {"recorders", std::move(recorders)}};
    // What the access side has to say, when it has something.
    Json withAccess = root;
    if (!status.warnings.empty()) {
        withAccess["warnings"] = status.warnings;
    }
    if (!status.loginRefusals.empty()) {
        Json refused = Json::object();
        for (const auto &[listener, n] : status.loginRefusals) {
            refused[listener] = n;
        }
        withAccess["login_refusals"] = std::move(refused);
    }
    return JsonDump(withAccess);
}

std::string StatusMetrics(const GatewayStatus &status)
{
    std::string out;
    auto header = [&out](const Metric &m) {
        out += std::string("# HELP ") + m.name + " " + m.help + "\n# TYPE " + m.name + " " + m.type + "\n";
    };
    header({"kestrel_gateway_uptime_seconds", "gauge", "Seconds since the gateway started."});
    out += "kestrel_gateway_uptime_seconds " + Number(status.uptime) + "\n";
    if (status.lastReload.atUnixMs >= 0) {
        header(
            {"kestrel_gateway_last_reload_success", "gauge", "1 when the last reload of the site file was applied."});
        out += std::string("kestrel_gateway_last_reload_success ") + (status.lastReload.applied ? "1" : "0") + "\n";
        header({"kestrel_gateway_last_reload_timestamp_seconds", "gauge", "When the site file was last reloaded."});
        out += "kestrel_gateway_last_reload_timestamp_seconds " +
               Number(static_cast<double>(status.lastReload.atUnixMs) / 1000.0) + "\n";
    }
    header({"kestrel_login_refusals_total", "counter", "Logins refused by a listener's hold-back of failed logins."});
    for (const auto &[listener, n] : status.loginRefusals) {
        out += "kestrel_login_refusals_total{listener=\"" + Label(listener) + "\"} " + std::to_string(n) + "\n";
    }
    header({"kestrel_recorder_logged_in", "gauge", "1 when the gateway is logged in to the recorder."});
    for (const RecorderStatus &rec : status.recorders) {
        out += "kestrel_recorder_logged_in{recorder=\"" + Label(rec.name) + "\"} " +
               (rec.state == "logged in" ? "1" : "0") + "\n";
    }

    using Get = std::string (*)(const ChannelStatus &);
    struct ChannelMetric {
        Metric m;
        Get get;
    };
    static const ChannelMetric kChannelMetrics[] = {
        {{"kestrel_channel_frames_total", "counter", "Video frames received from the recorder."},
         [](const ChannelStatus &c) { return std::to_string(c.frames); }},
        {{"kestrel_channel_bytes_total", "counter", "H.264 bytes received from the recorder."},
         [](const ChannelStatus &c) { return std::to_string(c.bytes); }},
        {{"kestrel_channel_frame_rate", "gauge", "Frames a second over the last second."},
         [](const ChannelStatus &c) { return Number(c.fps); }},
        {{"kestrel_channel_bit_rate", "gauge", "Bits a second over the last second."},
         [](const ChannelStatus &c) { return Number(c.kbitPerSecond * 1000); }},
        {{"kestrel_channel_keyframe_age_seconds", "gauge", "Seconds since the last keyframe; -1 before the first."},
         [](const ChannelStatus &c) {
             return c.keyframeAgeMs < 0 ? std::string("-1") : Number(c.keyframeAgeMs / 1000.0);
         }},
        {{"kestrel_channel_reconnections_total", "counter", "Streams reopened after a loss."},
         [](const ChannelStatus &c) { return std::to_string(c.reconnections); }},
        {{"kestrel_channel_web_skips_total", "counter", "Times a slow web client skipped to the next keyframe."},
         [](const ChannelStatus &c) { return std::to_string(Skips(c, "web")); }},
    };
    for (const ChannelMetric &cm : kChannelMetrics) {
        header(cm.m);
        for (const RecorderStatus &rec : status.recorders) {
            for (const ChannelStatus &ch : rec.channels) {
                out += std::string(cm.m.name) + "{recorder=\"" + Label(rec.name) + "\",channel=\"" +
                       std::to_string(ch.channel) + "\"} " + cm.get(ch) + "\n";
            }
        }
    }
    // A series a channel has by front: its clients, the bytes they took.
    const auto byFront = [&](const Metric &m, const char *label, Json (*values)(const ChannelStatus &)) {
        header(m);
        for (const RecorderStatus &rec : status.recorders) {
            for (const ChannelStatus &ch : rec.channels) {
                const std::string labels =
                    "{recorder=\"" + Label(rec.name) + "\",channel=\"" + std::to_string(ch.channel);
                const Json all = values(ch);
                for (const auto &[front, n] : all.items()) {
                    out += std::string(m.name) + labels + "\"," + label + "=\"" + Label(front) + "\"} " +
                           std::to_string(n.get<uint64_t>()) + "\n";
                }
            }
        }
    };
    byFront({"kestrel_channel_clients", "gauge", "Clients of the channel by kind (rtsp, web, ...)."}, "kind", Clients);
    byFront({"kestrel_channel_sent_bytes_total", "counter",
             "H.264 bytes the channel's clients took, by front (before their container or packets)."},
            "front", SentBytes);
    // What the receivers report, where they did.
    struct ReportMetric {
        Metric m;
        double LinkReports::*field;
        double scale;
    };
    static const ReportMetric kReportMetrics[] = {
        {{"kestrel_channel_round_trip_seconds", "gauge", "Mean round trip of the front's clients (RTCP)."},
         &LinkReports::roundTripMs,
         0.001},
        {{"kestrel_channel_jitter_seconds", "gauge", "Mean jitter the front's clients report (RTCP)."},
         &LinkReports::jitterMs,
         0.001},
        {{"kestrel_channel_fraction_lost", "gauge", "Worst fraction of packets lost a client of the front reports."},
         &LinkReports::fractionLost,
         1},
    };
    for (const ReportMetric &rm : kReportMetrics) {
        header(rm.m);
        for (const RecorderStatus &rec : status.recorders) {
            for (const ChannelStatus &ch : rec.channels) {
                for (const auto &[front, r] : ch.reports) {
                    if (r.*rm.field >= 0) {
                        out += std::string(rm.m.name) + "{recorder=\"" + Label(rec.name) + "\",channel=\"" +
                               std::to_string(ch.channel) + "\",front=\"" + Label(front) + "\"} " +
                               Number(r.*rm.field * rm.scale, 6) + "\n";
                    }
                }
            }
        }
    }
    header({"kestrel_channel_state", "gauge", "1 for the channel's current state, 0 for the others."});
    for (const RecorderStatus &rec : status.recorders) {
        for (const ChannelStatus &ch : rec.channels) {
            for (const char *state : {"idle", "playing", "reconnecting", "lost"}) {
                out += "kestrel_channel_state{recorder=\"" + Label(rec.name) + "\",channel=\"" +
                       std::to_string(ch.channel) + "\",state=\"" + state + "\"} " + (ch.state == state ? "1" : "0") +
                       "\n";
            }
        }
    }
    return out;
}

}  // namespace kn::gateway
