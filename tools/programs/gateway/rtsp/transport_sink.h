// CTransportSink: one RTSP viewer of a live channel, fed by its reader of
// the channel's stream. It sends the channel's own packets (see
// CChannelPackets: made once for every viewer, none of its own) on the
// viewer's transport of the channel's shared media: interleaved on its RTSP
// connection (TCP), or from the media's RTP socket to the viewer's port
// (UDP). Its reader is opened as the PLAY answer is made, so that the answer
// names the first packet the viewer takes (the cached group's first); what
// comes until the answer is sent waits, and goes out once the viewer plays.
// A viewer on TCP that has not taken a frame handed over 2 s ago
// (kMaxBehind), or cannot take a packet (its connection's backlog is full),
// loses its frames up to the next keyframe: when it reads again it gets at
// most that much of its backlog.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include "tools/programs/gateway/rtsp/channel_packets.h"
#include "tools/programs/gateway/stream/channel_hub.h"

namespace kn::gateway {

class CTransportSink final : public IClientSink {
public:
    // The transport is kept (a reference) as long as the sink; the client
    // is closed (on the main context) when the channel ends for good.
    CTransportSink(GstRTSPStreamTransport *transport, GstRTSPClient *client, std::string peer,
                   std::shared_ptr<CChannelPackets> packets);
    ~CTransportSink() override;
    CTransportSink(const CTransportSink &) = delete;
    CTransportSink &operator=(const CTransportSink &) = delete;

    // False when the viewer's transport cannot be served.
    bool Ready() const { return m_bReady; }
    // Where the viewer's stream begins: its first packet waiting (the
    // cached group's prelude made now), else the next packet made. Called
    // once its reader has opened, as the PLAY answer is made, while the
    // channel hands out no frame (see CChannelHub::Hold).
    RtpStart Start();
    // The PLAY answer is sent: what waited goes out, and the rest as it comes.
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
    bool Send(const SharedUnit &unit);
    // A frame handed over kMaxBehind ago is still not written.
    bool Behind(std::chrono::steady_clock::time_point now);
    void SendDatagram(GstBuffer *packet);

    std::atomic<uint64_t> m_nBytes{0};
    GstRTSPStreamTransport *m_pTransport;
    GWeakRef m_Client;
    std::string m_Peer;
    std::shared_ptr<CChannelPackets> m_pPackets;
    bool m_bReady = false;
    std::mutex m_Mutex;  // the reader's pushes, and the answer's Start and Begin
    bool m_bPlaying = false;
    bool m_bNeedKeyframe = false;  // a unit was refused: none until a keyframe
    // The units older than the channel's packets it took first (the cached
    // group), until their own packets are made.
    std::vector<SharedUnit> m_Prelude;
    bool m_bPreludeMade = false;
    bool m_bTcp = true;
    GSocket *m_pSocket = nullptr;  // UDP: the media's RTP socket
    GSocketAddress *m_pTo = nullptr;
    // TCP: a frame's packets go to the connection in one call (one message
    // on it), counted as it is written; a frame the connection's backlog
    // cannot take yet, or that came before the viewer plays, waits here and
    // goes with the next frame. Both in order, oldest first (rings).
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
    // Hands a frame's packets over, or has them wait their turn.
    void Queue(GstBufferList *packets, std::chrono::steady_clock::time_point now);
    // The cached group's own packets, ending just before seq, go first.
    void MakePrelude(uint16_t seq, std::chrono::steady_clock::time_point now);
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
    std::chrono::steady_clock::time_point m_Created;
};

}  // namespace kn::gateway
