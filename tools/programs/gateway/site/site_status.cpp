#include "tools/programs/gateway/site/site_status.h"

#include "tools/programs/gateway/site/site.h"

namespace kn::gateway {

GatewayStatus CSiteStatus::Status()
{
    const CGatewayState state = m_Site.State();
    GatewayStatus status;
    status.version = KN_TOOL_VERSION;
    status.uptime = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Started).count();
    for (const RecorderSnapshot &r : state.recorders) {
        RecorderStatus rec;
        rec.name = r.name;
        rec.address = r.address + ":" + std::to_string(r.port);
        rec.state = r.state;
        rec.nextAttemptInMs = r.nextAttemptInMs;
        rec.lastError = r.lastError;
        for (const ChannelSnapshot &c : r.channels) {
            ChannelStatus ch;
            ch.channel = c.channel;
            ch.name = "Channel " + std::to_string(c.channel + 1);
            ch.state = ChannelState(r.state, c.state);
            ch.linkState = c.state;
            ch.nextAttemptInMs = c.nextAttemptInMs;
            ch.frames = c.frames;
            ch.bytes = c.bytes;
            ch.fps = c.fps;
            ch.kbitPerSecond = c.kbitPerSecond;
            ch.keyframeAgeMs = c.keyframeAgeMs;
            ch.rtspClients = c.clients;  // every client; the web front takes its own off
            ch.reconnections = c.reconnections;
            ch.preload = c.preload;
            ch.lastError = c.lastError;
            ch.rtspPath = "/" + r.name + "/" + std::to_string(c.channel);
            rec.channels.push_back(std::move(ch));
        }
        status.recorders.push_back(std::move(rec));
    }
    return status;
}

std::shared_ptr<CChannelHub> CSiteStatus::Hub(const std::string &recorder, int channel)
{
    return m_Site.Hub(recorder, channel);
}

std::shared_ptr<CArchiveGate> CSiteStatus::Archive(const std::string &recorder) { return m_Site.Archive(recorder); }

}  // namespace kn::gateway
