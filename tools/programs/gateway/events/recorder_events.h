// CRecorderEvents: what one recorder tells the event path. Its link reports
// its state and its channels' states as they change, and hands over each
// recorder message; this turns them into events: a recorder logged in, lost
// or back, a channel playing or lost, the message as it came, and for each
// bit of a message's words that set or cleared since the last message, the
// start or end of the state the site file gives that word, on the channel
// it gives the bit. Messages come on the library's receive thread, states
// on the link's supervisor; both may come at once.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "tools/programs/gateway/site/config/site_config.h"

namespace kn::gateway {

class CEventBus;

class CRecorderEvents {
public:
    // bus may be null: nothing is published.
    CRecorderEvents(std::string recorder, int channels, const EventMap &map, CEventBus *bus);

    // The recorder's state moved from before to now (the link's state
    // names: "logged in", "reconnecting", ...).
    void RecorderState(const std::string &before, const std::string &now, const std::string &why);
    // A channel's state moved ("opening", "playing", "retrying", "idle" ...).
    void ChannelState(int channel, const std::string &before, const std::string &now, const std::string &why);
    // A recorder message: its 12 bytes (fewer are taken as zeros).
    void Message(const unsigned char *data, uint32_t len);
    // A reload changed the recorder's channels or what its words mean.
    void Reconfigure(int channels, const EventMap &map);

private:
    const std::string m_Recorder;
    CEventBus *const m_pBus;
    std::mutex m_Mutex;  // what follows
    int m_nChannels;
    EventMap m_Map;
    std::array<uint16_t, 3> m_Words{};  // as the last message left them
    bool m_bLoggedIn = false;           // ever, since this recorder joined
};

}  // namespace kn::gateway
