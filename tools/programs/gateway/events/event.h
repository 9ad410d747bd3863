// An event of the gateway: one of its own states (a recorder logged in,
// lost, back; a channel playing, lost; a reload applied or refused), a
// recorder message as it came, or a state that a message's bit starts or
// ends. Every output writes it as the one JSON form of ToJson.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/programs/gateway/events/event_kinds.h"

namespace kn::gateway {

struct Event {
    uint64_t id = 0;  // given by the bus: 1, 2, 3 ... in the order published
    EventKind type = EventKind::Message;
    std::string kind;      // the kind's name (for a state, the word's meaning)
    std::string recorder;  // "" for a reload
    int channel = -1;      // channel events and states; -1 otherwise
    bool active = false;   // a state: started (true) or ended
    int word = 0;          // a state: its word (1-3) and bit
    int bit = 0;
    std::array<unsigned char, 12> bytes{};  // a message, as it came
    int64_t unixMs = 0;                     // given by the bus
    std::string detail;                     // why (a loss, a refused reload); may be empty

    // The three little-endian 16-bit words at offsets 4, 6 and 8.
    uint16_t Word(int index) const
    {
        const size_t at = 4 + 2 * static_cast<size_t>(index);
        return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    }
    // Its JSON object, on one line.
    std::string ToJson() const;
};

Event GatewayEvent(EventKind type, const std::string &recorder, int channel = -1, const std::string &detail = "");

// A time as ISO 8601 in the gateway's zone, with milliseconds and the
// zone's offset: 2026-12-10T10:15:02.250+01:00.
std::string LocalTimeText(int64_t unixMs);

// Which events a subscriber wants: every one, or those of one recorder,
// and those of the listed kinds.
struct EventFilter {
    std::string recorder;            // "" all
    std::vector<std::string> kinds;  // empty: all
    bool Wants(const Event &e) const;
};

}  // namespace kn::gateway
