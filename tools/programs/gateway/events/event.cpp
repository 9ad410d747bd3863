#include "tools/programs/gateway/events/event.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "tools/programs/gateway/status/json_text.h"

namespace kn::gateway {

Event GatewayEvent(EventKind type, const std::string &recorder, int channel, const std::string &detail)
{
    Event e;
    e.type = type;
    e.kind = std::string(KindName(type));
    e.recorder = recorder;
    e.channel = channel;
    e.detail = detail;
    return e;
}

std::string LocalTimeText(int64_t unixMs)
{
    const time_t seconds = static_cast<time_t>(unixMs / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    const long offset = local.tm_gmtoff / 60;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(unixMs % 1000), offset < 0 ? '-' : '+', std::labs(offset) / 60,
                  std::labs(offset) % 60);
    return text;
}

std::string Event::ToJson() const
{
    Json j;
    j["id"] = id;
    j["kind"] = kind;
    if (!recorder.empty()) {
        j["recorder"] = recorder;
    }
    if (channel >= 0) {
        j["channel"] = channel;
    }
    if (type == EventKind::State) {
        j["state"] = active ? "start" : "end";
        j["word"] = word;
        j["bit"] = bit;
    } else if (type == EventKind::Message) {
        j["words"] = Json::array({Word(0), Word(1), Word(2)});
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        for (const unsigned char b : bytes) {
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
        j["bytes"] = hex;
    }
    j["time"] = LocalTimeText(unixMs);
    if (!detail.empty()) {
        j["detail"] = detail;
    }
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool EventFilter::Wants(const Event &e) const
{
    if (!recorder.empty() && e.recorder != recorder) {
        return false;
    }
    return kinds.empty() || std::find(kinds.begin(), kinds.end(), e.kind) != kinds.end();
}

}  // namespace kn::gateway
