#include "tools/programs/gateway/gateway_state.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace kn::gateway {

namespace {

std::string Number(double v)
{
    if (!std::isfinite(v)) {
        return "0";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// "2026-12-09T05:01:02.345Z", or null.
std::string UtcTime(int64_t unixMs)
{
    if (unixMs < 0) {
        return "null";
    }
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(unixMs % 1000));
    return "\"" + std::string(text) + "\"";
}

class CJsonObject {
public:
    explicit CJsonObject(std::string &out) : m_Out(out) { m_Out += '{'; }
    ~CJsonObject() { m_Out += '}'; }
    CJsonObject &Raw(const char *key, const std::string &json)
    {
        m_Out += m_bFirst ? "" : ",";
        m_bFirst = false;
        m_Out += JsonString(key) + ":" + json;
        return *this;
    }
    CJsonObject &Text(const char *key, const std::string &text) { return Raw(key, JsonString(text)); }
    CJsonObject &Int(const char *key, long long v) { return Raw(key, std::to_string(v)); }
    CJsonObject &Real(const char *key, double v) { return Raw(key, Number(v)); }
    CJsonObject &OptionalInt(const char *key, long long v) { return Raw(key, v < 0 ? "null" : std::to_string(v)); }
    CJsonObject &Bool(const char *key, bool v) { return Raw(key, v ? "true" : "false"); }

private:
    std::string &m_Out;
    bool m_bFirst = true;
};

void Attempt(CJsonObject &o, int64_t inMs, int64_t nowUnixMs)
{
    o.OptionalInt("next_attempt_in_ms", inMs);
    o.Raw("next_attempt_at", UtcTime(inMs < 0 ? -1 : nowUnixMs + inMs));
}

std::string Channel(const ChannelSnapshot &c, int64_t nowUnixMs)
{
    std::string out;
    {
        CJsonObject o(out);
        o.Int("channel", c.channel).Text("state", c.state);
        Attempt(o, c.nextAttemptInMs, nowUnixMs);
        o.Int("frames", static_cast<long long>(c.frames))
            .Int("bytes", static_cast<long long>(c.bytes))
            .Real("fps", c.fps)
            .Real("kbit_per_s", c.kbitPerSecond)
            .Int("clients", c.clients)
            .Int("reconnections", static_cast<long long>(c.reconnections))
            .OptionalInt("keyframe_age_ms", c.keyframeAgeMs)
            .Bool("preload", c.preload)
            .Int("cache_frames", static_cast<long long>(c.cacheFrames))
            .Int("cache_bytes", static_cast<long long>(c.cacheBytes))
            .Text("cache_state", c.cacheState)
            .Text("last_error", c.lastError);
    }
    return out;
}

}  // namespace

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

std::string CGatewayState::ToJson() const
{
    std::string out;
    {
        CJsonObject root(out);
        root.Raw("time", UtcTime(takenAtUnixMs));
        std::string list = "[";
        for (const RecorderSnapshot &r : recorders) {
            if (list.size() > 1) {
                list += ',';
            }
            CJsonObject o(list);
            o.Text("name", r.name).Text("address", r.address).Int("port", r.port).Text("state", r.state);
            Attempt(o, r.nextAttemptInMs, takenAtUnixMs);
            o.Int("logins", static_cast<long long>(r.logins))
                .Int("session_losses", static_cast<long long>(r.sessionLosses))
                .Text("last_error", r.lastError);
            std::string channels = "[";
            for (const ChannelSnapshot &c : r.channels) {
                channels += (channels.size() > 1 ? "," : "") + Channel(c, takenAtUnixMs);
            }
            o.Raw("channels", channels + "]");
        }
        root.Raw("recorders", list + "]");
    }
    return out;
}

}  // namespace kn::gateway
