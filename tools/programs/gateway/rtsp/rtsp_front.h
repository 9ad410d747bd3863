// CRtspFront: the RTSP server the clients talk to, on GStreamer's RTSP
// server library, listening on one or more addresses that share one set of
// mounts. Every channel of every recorder is mounted at /NAME/CH; every
// client gets a pipeline of its own (appsrc ! h264parse ! rtph264pay), fed
// by the channel's hub, so each one starts on a keyframe whenever it joins.
// Recorders are mounted and unmounted while the server runs (a reload), on
// the main context.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/programs/gateway/access/access.h"
#include "tools/programs/gateway/stream/channel_hub.h"
#include "tools/programs/gateway/site/config/site_config.h"

typedef struct _GstRTSPServer GstRTSPServer;
typedef struct _GstRTSPMountPoints GstRTSPMountPoints;

namespace kn::gateway {

class CArchiveGate;

class CRtspFront {
public:
    explicit CRtspFront(const SiteConfig &site);
    ~CRtspFront();
    CRtspFront(const CRtspFront &) = delete;
    CRtspFront &operator=(const CRtspFront &) = delete;

    // Listens on every address, on the default main context; false with a
    // message.
    bool Start(std::string &message);
    // Stops taking new clients.
    void StopListening();
    // The port of the first listen address (the one bound when it was 0).
    uint16_t Port() const { return m_Ports.empty() ? 0 : m_Ports.front(); }

    // Mounts /NAME/0 .. /NAME/N-1 on the recorder's hubs; with its archive,
    // /NAME/CH?start=T plays the recording from T.
    void Mount(const std::string &name, const std::vector<std::shared_ptr<CChannelHub>> &hubs,
               const std::shared_ptr<CArchiveGate> &archive = nullptr);
    // Unmounts the recorder's paths; clients already playing keep their
    // media until their hub ends them.
    void Unmount(const std::string &name, int channels);

private:
    const SiteConfig m_Site;
    const CAccess m_Access{m_Site.rtspUser};
    std::vector<GstRTSPServer *> m_Servers;
    std::vector<unsigned> m_Sources;
    std::vector<uint16_t> m_Ports;
    GstRTSPMountPoints *m_pMounts = nullptr;
    unsigned m_nCleanupSource = 0;
};

}  // namespace kn::gateway
