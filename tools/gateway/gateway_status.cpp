#include "tools/gateway/gateway_status.h"

#include <cmath>
#include <cstdio>

namespace kn::gateway {

namespace {

// Frames older than this do not count as flowing.
constexpr double kFlowingAgeS = 2.0;

std::string Number(double v)
{
    if (!std::isfinite(v)) {
        return "0";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
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

std::string Field(const char *name, const std::string &value, bool last = false)
{
    return std::string("\"") + name + "\":" + value + (last ? "" : ",");
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

struct Metric {
    const char *name;
    const char *type;
    const char *help;
};

}  // namespace

const char *ChannelState(bool loggedIn, bool open, bool outage, int clients, double lastFrameAge)
{
    if (open && lastFrameAge >= 0 && lastFrameAge < kFlowingAgeS) {
        return "playing";
    }
    if (!open && !outage && clients == 0) {
        return "idle";
    }
    return loggedIn ? "reconnecting" : "lost";
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

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string StatusJson(const GatewayStatus &status)
{
    std::string out = "{" + Field("version", JsonString(status.version)) + Field("uptime", Number(status.uptime)) +
                      "\"recorders\":[";
    for (size_t r = 0; r < status.recorders.size(); ++r) {
        const RecorderStatus &rec = status.recorders[r];
        out += (r ? ",{" : "{") + Field("name", JsonString(rec.name)) + Field("address", JsonString(rec.address)) +
               Field("loggedIn", rec.loggedIn ? "true" : "false") + "\"channels\":[";
        for (size_t c = 0; c < rec.channels.size(); ++c) {
            const ChannelStatus &ch = rec.channels[c];
            out += (c ? ",{" : "{") + Field("channel", std::to_string(ch.channel)) +
                   Field("name", JsonString(ch.name)) + Field("state", JsonString(ch.state)) +
                   Field("frames", std::to_string(ch.frames)) + Field("bytes", std::to_string(ch.bytes)) +
                   Field("frameRate", Number(ch.frameRate)) + Field("bitRate", Number(ch.bitRate)) +
                   Field("lastFrameAge", ch.lastFrameAge < 0 ? "null" : Number(ch.lastFrameAge)) +
                   Field("reconnections", std::to_string(ch.reconnections)) +
                   "\"clients\":{" + Field("rtsp", std::to_string(ch.rtspClients)) +
                   Field("web", std::to_string(ch.webClients), true) + "}," +
                   Field("webSkips", std::to_string(ch.webSkips)) + Field("stream", JsonString(ch.streamUrl)) +
                   Field("snapshot", JsonString(ch.snapshotUrl)) + Field("rtsp", JsonString(ch.rtspPath), true) +
                   "}";
        }
        out += "]}";
    }
    return out + "]}\n";
}

std::string StatusMetrics(const GatewayStatus &status)
{
    std::string out;
    auto header = [&out](const Metric &m) {
        out += std::string("# HELP ") + m.name + " " + m.help + "\n# TYPE " + m.name + " " + m.type + "\n";
    };
    header({"kestrel_gateway_uptime_seconds", "gauge", "Seconds since the gateway started."});
    out += "kestrel_gateway_uptime_seconds " + Number(status.uptime) + "\n";
    header({"kestrel_recorder_logged_in", "gauge", "1 when the gateway is logged in to the recorder."});
    for (const RecorderStatus &rec : status.recorders) {
        out += "kestrel_recorder_logged_in{recorder=\"" + Label(rec.name) + "\"} " + (rec.loggedIn ? "1" : "0") + "\n";
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
         [](const ChannelStatus &c) { return Number(c.frameRate); }},
        {{"kestrel_channel_bit_rate", "gauge", "Bits a second over the last second."},
         [](const ChannelStatus &c) { return Number(c.bitRate); }},
        {{"kestrel_channel_reconnections_total", "counter", "Streams reopened after a loss."},
         [](const ChannelStatus &c) { return std::to_string(c.reconnections); }},
        {{"kestrel_channel_web_skips_total", "counter", "Times a slow web client skipped to the next keyframe."},
         [](const ChannelStatus &c) { return std::to_string(c.webSkips); }},
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
    header({"kestrel_channel_clients", "gauge", "Clients of the channel by kind (rtsp, web)."});
    for (const RecorderStatus &rec : status.recorders) {
        for (const ChannelStatus &ch : rec.channels) {
            const std::string labels = "{recorder=\"" + Label(rec.name) + "\",channel=\"" + std::to_string(ch.channel);
            out += "kestrel_channel_clients" + labels + "\",kind=\"rtsp\"} " + std::to_string(ch.rtspClients) + "\n";
            out += "kestrel_channel_clients" + labels + "\",kind=\"web\"} " + std::to_string(ch.webClients) + "\n";
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
