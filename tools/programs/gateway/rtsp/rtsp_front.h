// CRtspFront: the RTSP server the clients talk to, on GStreamer's RTSP
// server library, listening on one or more addresses that share one set of
// mounts. It observes the site: every channel of every recorder is mounted
// at /NAME/CH as the recorder joins and unmounted as it leaves (a reload).
// A live channel has one media, shared by its clients for the session
// description and the transports; each client has its own RTP stream
// (CTransportSink) fed by its reader of the channel's stream, so each one
// starts on a keyframe whenever it joins. A recording has a pipeline per
// client (appsrc ! h264parse ! rtph264pay, fed by the playback feed).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/programs/gateway/site/front.h"

typedef struct _GstRTSPServer GstRTSPServer;
typedef struct _GstRTSPMountPoints GstRTSPMountPoints;
typedef struct _GstRTSPAuth GstRTSPAuth;
typedef struct _GTlsCertificate GTlsCertificate;

namespace kn::gateway {

class CRtspFront final : public IFront, public ISiteObserver {
public:
    CRtspFront(const SiteConfig &site, ISiteDirectory &directory);
    ~CRtspFront() override;
    CRtspFront(const CRtspFront &) = delete;
    CRtspFront &operator=(const CRtspFront &) = delete;

    // Listens on every address, on the default main context, and observes
    // the site; false with a message.
    bool Start(std::string &message) override;
    // Stops taking new clients.
    void StopListening() override;
    // A renewed TLS certificate on disk is taken for new connections.
    void Reload(const SiteConfig &site) override;
    // The port of the first listen address (the one bound when it was 0).
    uint16_t Port() const { return m_Ports.empty() ? 0 : m_Ports.front(); }

    // Mounts /NAME/0 .. /NAME/N-1; with the recorder's archive,
    // /NAME/CH?start=T plays the recording from T.
    void RecorderAdded(const RecorderEntry &recorder) override;
    // Unmounts the recorder's paths; clients already playing keep their
    // media until their stream ends them.
    void RecorderRemoved(const std::string &name, int channels) override;
    void RecorderChanged(const RecorderEntry &recorder, int channelsBefore) override;

private:
    void Mount(const RecorderEntry &recorder, int firstChannel);

    const SiteConfig m_Site;
    ISiteDirectory &m_Directory;
    bool m_bObserving = false;
    std::vector<GstRTSPServer *> m_Servers;
    std::vector<unsigned> m_Sources;
    std::vector<uint16_t> m_Ports;
    GstRTSPMountPoints *m_pMounts = nullptr;
    unsigned m_nCleanupSource = 0;
    GTlsCertificate *m_pCertificate = nullptr;  // RTSPS: the listeners' identity
    GstRTSPAuth *m_pTlsAuth = nullptr;
};

// The table of fronts' line.
std::unique_ptr<IFront> MakeRtspFront(const SiteConfig &site, ISiteDirectory &directory);

}  // namespace kn::gateway
