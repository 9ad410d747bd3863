// CRtspFront: the RTSP server the clients talk to, on GStreamer's RTSP
// server library. Every channel is mounted at /live/CH; every client gets
// a pipeline of its own (appsrc ! h264parse ! rtph264pay), fed by the
// channel's hub, so each one starts on a keyframe whenever it joins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/gateway/channel_hub.h"
#include "tools/gateway/gateway_options.h"

typedef struct _GstRTSPServer GstRTSPServer;

namespace kn::gateway {

class CRtspFront {
public:
    CRtspFront(const GatewayOptions &options, const std::vector<CChannelHub *> &hubs);
    ~CRtspFront();
    CRtspFront(const CRtspFront &) = delete;
    CRtspFront &operator=(const CRtspFront &) = delete;

    // Listens on the default main context; false with a message.
    bool Start(std::string &message);
    // Stops taking new clients.
    void StopListening();
    uint16_t Port() const { return m_wPort; }

private:
    const GatewayOptions m_Options;
    std::vector<CChannelHub *> m_Hubs;
    GstRTSPServer *m_pServer = nullptr;
    unsigned m_nServerSource = 0;
    unsigned m_nCleanupSource = 0;
    uint16_t m_wPort = 0;
};

}  // namespace kn::gateway
