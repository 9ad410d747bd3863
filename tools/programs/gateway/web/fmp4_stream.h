// CFmp4Stream: one web client's live video as a fragmented MP4 (an init
// segment, then a fragment every few frames), which Media Source Extensions
// in a browser and ffmpeg's players take as it comes. Each client has a
// pipeline of its own (appsrc ! h264parse ! mp4mux ! appsink), fed by the
// channel's hub, so it starts on a keyframe whenever it joins. The bytes go
// to the client on the main loop through a writer (a long HTTP response or
// a WebSocket, see CHttpFront).
//
// What the client has not yet taken (queued in the pipeline, waiting for the
// main loop, or written and not yet reported delivered) is bounded: past the
// bound the hub's frames are refused, and the hub restarts the client at the
// next keyframe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/programs/gateway/stream/channel_hub.h"

typedef struct _GstElement GstElement;

namespace kn::gateway {

class CFmp4Stream final : public IClientSink, public std::enable_shared_from_this<CFmp4Stream> {
public:
    // Called on the main loop: write with the next bytes, finish once when
    // the stream ends with nothing more to write (the recorder gone for
    // good, or the pipeline failed).
    using Write = std::function<void(const uint8_t *data, size_t size)>;
    using Finish = std::function<void()>;

    // Past maxOutstanding bytes not yet taken, the client skips to the next
    // keyframe (the stream counts it).
    CFmp4Stream(std::string peer, size_t maxOutstanding, Write write, Finish finish);
    ~CFmp4Stream() override;
    CFmp4Stream(const CFmp4Stream &) = delete;
    CFmp4Stream &operator=(const CFmp4Stream &) = delete;

    // On the main loop: builds and starts the pipeline; false with a
    // message.
    bool Start(std::string &message);
    // Stops the pipeline; nothing more is written.
    void Stop();
    // On the main loop: the client has taken this many more bytes.
    void Delivered(uint64_t bytes);

    // IClientSink (the hub's thread, hub locked)
    int64_t RunningTimeNs() override;
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override;
    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override;
    void End() override;
    std::string Peer() const override { return m_Peer; }
    const char *Front() const override { return "web"; }

    // Bytes the client has taken so far.
    uint64_t BytesDelivered() const { return m_nDelivered.load(); }

private:
    // Whether the client has room for another unit (counting a skip when not).
    bool Room();
    static int OnNewSample(GstElement *sink, void *self);
    // The appsink's and the hub's threads hand over to the main loop.
    void Schedule();
    void Flush();  // main loop: pending bytes into the response

    const std::string m_Peer;
    const size_t m_nMaxOutstanding;
    Write m_Write;
    Finish m_Finish;
    GstElement *m_pPipeline = nullptr;
    GstElement *m_pAppSrc = nullptr;
    GstElement *m_pMux = nullptr;
    bool m_bFirstFragment = false;  // the muxer's thread: the first fragment is out
    const int64_t m_nCreatedNs;

    std::mutex m_Mutex;  // what the pipeline produced for the main loop
    std::vector<uint8_t> m_Pending;
    std::vector<uint8_t> m_Taking;  // the main loop's side, reused
    bool m_bScheduled = false;
    bool m_bEndAsked = false;

    std::atomic<bool> m_bStopped{false};
    // Produced by the muxer and not yet delivered.
    std::atomic<uint64_t> m_nOutstanding{0};
    std::atomic<uint64_t> m_nDelivered{0};
    bool m_bEnded = false;  // main loop: finished
};

}  // namespace kn::gateway
