#include "tools/gateway/recorder_status.h"



namespace kn::gateway {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point then, std::chrono::steady_clock::time_point now)
{
    return std::chrono::duration<double>(now - then).count();
}

}  // namespace

CRecorderStatus::CRecorderStatus(const GatewayOptions &options, const CRecorderLink &link,
                                 std::vector<CChannelHub *> hubs)
    : m_Name(options.name), m_Address(options.host + ":" + std::to_string(options.port)), m_Link(link),
      m_Hubs(std::move(hubs)), m_Rates(m_Hubs.size())
{
}

void CRecorderStatus::Sample()
{
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::max(SecondsSince(m_LastSample, now), 0.001);
    for (size_t i = 0; i < m_Hubs.size(); ++i) {
        const HubCounts counts = m_Hubs[i]->Counts();
        Rate &r = m_Rates[i];
        r.frameRate = static_cast<double>(counts.frames - r.last.frames) / seconds;
        r.bitRate = static_cast<double>(counts.bytes - r.last.bytes) * 8.0 / seconds;
        r.last = counts;
    }
    m_LastSample = now;
}

GatewayStatus CRecorderStatus::Status()
{
    const auto now = std::chrono::steady_clock::now();
    const LinkState link = m_Link.State();
    GatewayStatus status;
    status.version = KN_TOOL_VERSION;
    status.uptime = SecondsSince(m_Started, now);
    RecorderStatus rec;
    rec.name = m_Name;
    rec.address = m_Address;
    rec.loggedIn = link.loggedIn;
    for (size_t i = 0; i < m_Hubs.size(); ++i) {
        const HubCounts counts = m_Hubs[i]->Counts();
        ChannelStatus ch;
        ch.channel = m_Hubs[i]->Channel();
        ch.name = "Channel " + std::to_string(ch.channel + 1);
        ch.frames = counts.frames;
        ch.bytes = counts.bytes;
        ch.frameRate = m_Rates[i].frameRate;
        ch.bitRate = m_Rates[i].bitRate;
        ch.lastFrameAge = counts.frames == 0 ? -1 : SecondsSince(counts.lastFrame, now);
        ch.rtspClients = counts.clients;
        const LinkState::ChannelState cs = i < link.channels.size() ? link.channels[i] : LinkState::ChannelState{};
        ch.reconnections = cs.reconnections;
        ch.state = ChannelState(link.loggedIn, cs.open, cs.outage, counts.clients, ch.lastFrameAge);
        ch.rtspPath = "/live/" + std::to_string(ch.channel);
        rec.channels.push_back(std::move(ch));
    }
    status.recorders.push_back(std::move(rec));
    return status;
}

CChannelHub *CRecorderStatus::Hub(const std::string &recorder, int channel)
{
    if (recorder != m_Name || channel < 0 || static_cast<size_t>(channel) >= m_Hubs.size()) {
        return nullptr;
    }
    return m_Hubs[static_cast<size_t>(channel)];
}

}  // namespace kn::gateway
