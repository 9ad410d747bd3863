#include "tools/programs/gateway/events/recorder_events.h"

#include <algorithm>
#include <cstring>

#include "tools/programs/gateway/events/event_bus.h"

namespace kn::gateway {

CRecorderEvents::CRecorderEvents(std::string recorder, int channels, const EventMap &map, CEventBus *bus)
    : m_Recorder(std::move(recorder)), m_pBus(bus), m_nChannels(channels), m_Map(map)
{}

void CRecorderEvents::Reconfigure(int channels, const EventMap &map)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_nChannels = channels;
    m_Map = map;
}

void CRecorderEvents::RecorderState(const std::string &before, const std::string &now, const std::string &why)
{
    if (m_pBus == nullptr || before == now) {
        return;
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (now == "logged in") {
        m_pBus->Publish(GatewayEvent(m_bLoggedIn ? EventKind::RecorderBack : EventKind::RecorderLoggedIn, m_Recorder));
        m_bLoggedIn = true;
    } else if (before == "logged in" && now != "stopped") {
        m_pBus->Publish(GatewayEvent(EventKind::RecorderLost, m_Recorder, -1, why));
    }
}

void CRecorderEvents::ChannelState(int channel, const std::string &before, const std::string &now,
                                   const std::string &why)
{
    if (m_pBus == nullptr || before == now) {
        return;
    }
    if (now == "playing") {
        m_pBus->Publish(GatewayEvent(EventKind::ChannelPlaying, m_Recorder, channel));
    } else if (before == "playing" && now != "idle" && now != "stopped") {
        // Closed for want of clients is not a loss; anything else is.
        m_pBus->Publish(GatewayEvent(EventKind::ChannelLost, m_Recorder, channel, why));
    }
}

void CRecorderEvents::Message(const unsigned char *data, uint32_t len)
{
    if (m_pBus == nullptr || data == nullptr) {
        return;
    }
    Event message = GatewayEvent(EventKind::Message, m_Recorder);
    std::memcpy(message.bytes.data(), data, std::min<size_t>(len, message.bytes.size()));
    std::lock_guard<std::mutex> lk(m_Mutex);
    // The reading as it came, then the states it starts and ends.
    m_pBus->Publish(message);
    for (int w = 0; w < 3; ++w) {
        const uint16_t now = message.Word(w);
        const uint16_t changed = static_cast<uint16_t>(now ^ m_Words[static_cast<size_t>(w)]);
        m_Words[static_cast<size_t>(w)] = now;
        const WordMeaning &meaning = m_Map.words[static_cast<size_t>(w)];
        for (int bit = 0; bit < 16; ++bit) {
            const int channel = meaning.channelOfBit[static_cast<size_t>(bit)];
            if ((changed >> bit & 1) == 0 || channel < 0 || channel >= m_nChannels) {
                continue;
            }
            Event state;
            state.type = EventKind::State;
            state.kind = meaning.kind;
            state.recorder = m_Recorder;
            state.channel = channel;
            state.active = (now >> bit & 1) != 0;
            state.word = w + 1;
            state.bit = bit;
            m_pBus->Publish(std::move(state));
        }
    }
}

}  // namespace kn::gateway
