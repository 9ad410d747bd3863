// CChannelHub: one recorder channel and the RTSP clients watching it. The
// library's delivery thread hands it every frame of the channel; it keeps
// the channel's SPS and PPS, and passes each access unit to every client
// that has started, a client starting only at a keyframe (with the
// parameter sets in front of it). Clients come and go on the RTSP server's
// threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/gateway/access_unit.h"
#include "tools/gateway/frame_clock.h"

namespace kn::gateway {

// Where one client's frames go (an appsrc in the gateway, a recorder in the
// tests). Called with the hub's lock held: must not block and must not call
// back into the hub.
class IClientSink {
public:
    virtual ~IClientSink() = default;
    // The client's running time in ns (0 when its stream started).
    virtual int64_t RunningTimeNs() = 0;
    // One access unit at a presentation time; false when the client is
    // backed up and the unit was not taken.
    virtual bool Push(const uint8_t *data, size_t size, int64_t ptsNs) = 0;
    // The recorder is gone for good: end the client's stream and session.
    virtual void End() = 0;
    // Who the client is, for the log.
    virtual std::string Peer() const = 0;
};

struct HubCounts {
    uint64_t frames = 0;  // video frames received from the recorder
    uint64_t bytes = 0;  // their access unit bytes
    uint64_t keyframes = 0;
    int clients = 0;
    int waiting = 0;  // clients still waiting for their first frame (not ended)
    std::chrono::steady_clock::time_point lastFrame{};  // epoch: none yet
    std::chrono::steady_clock::time_point lastKeyframe{};  // epoch: none yet
};

class CChannelHub {
public:
    explicit CChannelHub(int channel, std::string recorder = "") : m_nChannel(channel), m_Recorder(std::move(recorder))
    {
    }
    CChannelHub(const CChannelHub &) = delete;
    CChannelHub &operator=(const CChannelHub &) = delete;

    int Channel() const { return m_nChannel; }
    // The recorder's name, for the log ("" when there is only one).
    const std::string &Recorder() const { return m_Recorder; }
    // Called, without the hub's lock, after the number of clients changed.
    void SetClientsChanged(std::function<void()> notify) { m_ClientsChanged = std::move(notify); }

    // The number of clients afterwards.
    int Add(const std::shared_ptr<IClientSink> &sink);
    // False when the sink was not (or no longer) a client.
    bool Remove(const IClientSink *sink, int &clientsLeft);

    // A frame as the library delivers it; anything but an H.264 access unit
    // is ignored.
    void OnFrame(uint32_t type, const uint8_t *data, int32_t len);
    // Ends every client's session; they stay counted until they leave.
    void EndClients();
    // Answers the clients still waiting for their first frame (the channel
    // is refused or the recorder cannot be reached): their sessions end,
    // the others play on. The number of clients answered.
    int EndWaiting();

    HubCounts Counts() const;

private:
    struct Client {
        std::shared_ptr<IClientSink> sink;
        bool started = false;  // has had its first keyframe
        bool ended = false;  // told the stream is over
        CFrameClock clock;
    };

    const int m_nChannel;
    const std::string m_Recorder;
    std::function<void()> m_ClientsChanged;
    mutable std::mutex m_Mutex;
    std::vector<Client> m_Clients;
    CParameterSets m_Sets;
    std::vector<uint8_t> m_Unit;  // the access unit as sent, reused
    HubCounts m_Counts;
};

}  // namespace kn::gateway
