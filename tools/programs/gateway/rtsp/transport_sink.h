// CTransportSink: one RTSP viewer of a live channel, fed by its reader of
// the channel's stream. Its own payloader (GStreamer's rtph264pay, driven
// on the caller's thread, no pipeline and no thread of its own) makes the
// viewer's RTP packets from the channel's parsed units, with the viewer's
// own sequence numbers and timestamps, so that each viewer starts with the
// cached group; the packets go out on the viewer's transport of the
// channel's shared media: interleaved on its RTSP connection (TCP), or from
// the media's RTP socket to the viewer's port (UDP). A viewer that cannot
// take a packet (its connection's backlog is full) loses the rest of the
// frame and goes on at the next keyframe.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <gio/gio.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include "tools/programs/gateway/stream/channel_hub.h"

namespace kn::gateway {

// Where a viewer's RTP stream begins, as the PLAY answer's RTP-Info names it.
struct RtpStart {
    uint16_t seq = 0;
    uint32_t rtptime = 0;
};

class CTransportSink final : public IClientSink {
public:
    // The transport is kept (a reference) as long as the sink; the client
    // is closed (on the main context) when the channel ends for good.
    CTransportSink(GstRTSPStreamTransport *transport, GstRTSPClient *client, std::string peer, const RtpStart &start);
    ~CTransportSink() override;
    CTransportSink(const CTransportSink &) = delete;
    CTransportSink &operator=(const CTransportSink &) = delete;

    // False when the payloader could not be made.
    bool Ready() const { return m_pPay != nullptr; }

    const char *Front() const override { return "rtsp"; }
    int64_t RunningTimeNs() override;
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override;
    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override;
    bool PushTimed(const SharedUnit &unit, const FrameTimes &times) override;
    void End() override;
    std::string Peer() const override { return m_Peer; }
    size_t StartFrames() const override { return kDeepStartFrames; }

private:
    bool Send(GstBuffer *buffer);
    bool SendPacket(GstBuffer *packet);
    static GstFlowReturn OnChain(GstPad *pad, GstObject *parent, GstBuffer *buffer);
    static GstFlowReturn OnChainList(GstPad *pad, GstObject *parent, GstBufferList *list);

    GstRTSPStreamTransport *m_pTransport;
    GWeakRef m_Client;
    std::string m_Peer;
    RtpStart m_Start;
    GstElement *m_pPay = nullptr;
    GstPad *m_pSrc = nullptr;   // feeds the payloader
    GstPad *m_pSink = nullptr;  // takes its packets
    bool m_bTcp = true;
    GSocket *m_pSocket = nullptr;  // UDP: the media's RTP socket
    GSocketAddress *m_pTo = nullptr;
    bool m_bSegment = false;
    bool m_bRefused = false;  // a packet of the frame being sent was not taken
    std::chrono::steady_clock::time_point m_Created;
};

}  // namespace kn::gateway
