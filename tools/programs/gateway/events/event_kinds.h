// The names of the gateway's own event kinds, as the site file, the event
// stream's filters and every output write them. The recorders' states are
// named by the site file (see WordMeaning).
#pragma once

#include <array>
#include <string_view>

namespace kn::gateway {

enum class EventKind {
    RecorderLoggedIn,  // the first login of a recorder since the gateway started or it joined the site
    RecorderLost,      // its session was lost
    RecorderBack,      // logged in again after a loss
    ChannelPlaying,    // a channel's stream delivers frames
    ChannelLost,       // a stream that played was lost
    ReloadApplied,
    ReloadRefused,
    Message,  // a recorder message, its 12 bytes as they came
    State,    // a bit of a message's word set (start) or cleared (end)
};

inline constexpr std::array<std::string_view, 8> kGatewayKinds{"recorder-logged-in", "recorder-lost", "recorder-back",
                                                               "channel-playing",    "channel-lost",  "reload-applied",
                                                               "reload-refused",     "message"};

inline constexpr std::string_view KindName(EventKind kind)
{
    return kind == EventKind::State ? std::string_view{} : kGatewayKinds[static_cast<size_t>(kind)];
}

// A kind the site file may give a word: lower-case letters, digits and '-',
// starting with a letter, at most 32 long, none of the gateway's own.
inline bool IsStateKindName(std::string_view name)
{
    if (name.empty() || name.size() > 32 || name[0] < 'a' || name[0] > 'z') {
        return false;
    }
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            return false;
        }
    }
    for (const std::string_view k : kGatewayKinds) {
        if (k == name) {
            return false;
        }
    }
    return true;
}

}  // namespace kn::gateway
