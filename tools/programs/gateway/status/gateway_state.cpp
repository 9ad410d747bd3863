#include "tools/programs/gateway/status/gateway_state.h"

#include "tools/programs/gateway/status/json_text.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace kn::gateway {

namespace {

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

void Attempt(Json &o, int64_t inMs, int64_t nowUnixMs)
{
    o["next_attempt_in_ms"] = JsonOptional(inMs);
    o["next_attempt_at"] = UtcTime(inMs < 0 ? -1 : nowUnixMs + inMs);
}

Json Channel(const ChannelSnapshot &c, int64_t nowUnixMs)
{
    Json o = {{"channel", c.channel}, {"state", c.state}};
    Attempt(o, c.nextAttemptInMs, nowUnixMs);
    o["frames"] = c.frames;
    o["bytes"] = c.bytes;
    o["fps"] = JsonTenths(c.fps);
    o["kbit_per_s"] = JsonTenths(c.kbitPerSecond);
    o["clients"] = c.clients;
    o["reconnections"] = c.reconnections;
    o["keyframe_age_ms"] = JsonOptional(c.keyframeAgeMs);
    o["preload"] = c.preload;
    o["cache_frames"] = c.cacheFrames;
    o["cache_bytes"] = c.cacheBytes;
    o["cache_state"] = c.cacheState;
    o["last_error"] = c.lastError;
    return o;
}

}  // namespace

std::string JsonString(const std::string &text) { return JsonDump(Json(text)); }

std::string CGatewayState::ToJson() const
{
    Json list = Json::array();
    for (const RecorderSnapshot &r : recorders) {
        Json o = {{"name", r.name}, {"address", r.address}, {"port", r.port}, {"state", r.state}};
        Attempt(o, r.nextAttemptInMs, takenAtUnixMs);
        o["logins"] = r.logins;
        o["session_losses"] = r.sessionLosses;
        o["last_error"] = r.lastError;
        Json channels = Json::array();
        for (const ChannelSnapshot &c : r.channels) {
            channels.push_back(Channel(c, takenAtUnixMs));
        }
        o["channels"] = std::move(channels);
        list.push_back(std::move(o));
    }
    const Json root = {{"time", UtcTime(takenAtUnixMs)}, {"recorders", std::move(list)}};
    return JsonDump(root);
}

}  // namespace kn::gateway
