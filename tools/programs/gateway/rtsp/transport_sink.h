// CTransportSink: one RTSP viewer of a live channel, fed by its reader of
// the channel's stream. Its own payloader (GStreamer's rtph264pay, driven
// on the caller's thread, no pipeline and no thread of its own) makes the
// viewer's RTP packets from the channel's parsed units, with the viewer's
// own sequence numbers and timestamps, so that each viewer starts with the
// cached group; the packets go out on the viewer's transport of the
// channel's shared media: interleaved on its RTSP connection (TCP), or from
// the media's RTP socket to the viewer's port (UDP). A viewer on TCP that
// has not taken a frame handed over 2 s ago (kMaxBehind), or cannot take a packet
// (its connection's backlog is full), loses its frames up to the next
// keyframe: when it reads again it gets at most that much of its backlog.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
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
    // Counts what the connection has written, once the transport plays.
    void Begin();

    const char *Front() const override { return "rtsp"; }
    int64_t RunningTimeNs() override;
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override;
    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override;
    bool PushTimed(const SharedUnit &unit, const FrameTimes &times) override;
    void End() override;
    std::string Peer() const override { return m_Peer; }
    size_t StartFrames() const override { return kDeepStartFrames; }
    // The video bytes of the frames taken for the viewer (for the audit).
    uint64_t BytesSent() const { return m_nBytes.load(); }

private:
    bool Send(GstBuffer *buffer);
    // A frame handed over kMaxBehind ago is still not written.
    bool Behind(std::chrono::steady_clock::time_point now);
    void SendDatagram(GstBuffer *packet);
    static GstFlowReturn OnChain(GstPad *pad, GstObject *parent, GstBuffer *buffer);
    static GstFlowReturn OnChainList(GstPad *pad, GstObject *parent, GstBufferList *list);

    std::atomic<uint64_t> m_nBytes{0};
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
    // TCP: a frame's packets go to the connection in one call (one message
    // on it), counted as it is written; a frame the connection's backlog
    // cannot take yet waits here and goes with the next frame. Both in
    // order, oldest first (rings).
    struct Handed {
        uint64_t index;  // the frame's message
        std::chrono::steady_clock::time_point at;
    };
    struct Waiting {
        GstBufferList *packets;
        std::chrono::steady_clock::time_point at;
    };
    static constexpr size_t kFrames = 128;
    bool Hand(GstBufferList *packets, std::chrono::steady_clock::time_point at);
    void Drain();
    void DropWaiting();
    uint64_t m_nHanded = 0;
    std::shared_ptr<std::atomic<uint64_t>> m_pWritten;
    std::array<Handed, kFrames> m_Handed{};
    size_t m_nHandedFirst = 0;
    size_t m_nHandedCount = 0;
    std::array<Waiting, kFrames> m_Waiting{};
    size_t m_nWaitingFirst = 0;
    size_t m_nWaitingCount = 0;
    GstBufferList *m_pFrame = nullptr;  // the packets of the frame being made
    bool m_bSegment = false;
    std::chrono::steady_clock::time_point m_Created;
};

}  // namespace kn::gateway
