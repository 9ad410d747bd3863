// CChannelHub: one recorder channel and the RTSP clients watching it. The
// library's delivery thread hands it every frame of the channel; it keeps
// the channel's SPS and PPS and its current group of pictures (the keyframe
// cache), and passes each access unit to every client that has started.
// A unit is made once (one copy of the library's frame) and shared by the
// cache and every client: a client holds it, not a copy of it. A
// client starts with the cached group, sent at once, each frame at its true
// time (it shows a picture at once, and a recording of it lasts what it
// holds), or, when the cache holds nothing, at the next keyframe (with
// the parameter sets in front of it). Clients come and go on the RTSP
// server's threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/access_unit.h"
#include "tools/common/arrival_timeline.h"
#include "tools/common/parameter_sets.h"
#include "tools/programs/gateway/stream/frame_clock.h"
#include "tools/programs/gateway/stream/keyframe_cache.h"
#include "tools/programs/gateway/stream/stream_unit.h"
#include "tools/programs/gateway/status/gateway_status.h"

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
    // The same, for a client that keeps the shared unit itself instead of
    // copying its bytes.
    virtual bool PushShared(const SharedUnit &unit, int64_t ptsNs)
    {
        return Push(unit->bytes.data(), unit->bytes.size(), ptsNs);
    }
    // The same with its decoding time (when it leaves, see CFrameClock): a
    // sink that keeps to its clock on decoding times sends the cached group
    // at once; the others take the presentation time for both.
    virtual bool PushTimed(const SharedUnit &unit, const FrameTimes &times) { return PushShared(unit, times.ptsNs); }
    // The recorder is gone for good: end the client's stream and session.
    virtual void End() = 0;
    // Who the client is, for the log.
    virtual std::string Peer() const = 0;
    // The front the client came through ("rtsp", "web", ...), as the status
    // counts readers; null for a reader that is no client (a snapshot).
    virtual const char *Front() const { return nullptr; }
    // What the client's receiver last reported of its link (RTCP): false
    // for a client that has no such reports (yet). Any thread.
    struct LinkReport {
        double roundTripMs = 0;
        double jitterMs = 0;
        double fractionLost = 0;
    };
    virtual bool Report(LinkReport &) const { return false; }
    // Frames the client would have at its start: more than its own group
    // when the client is a player that reads that many before it shows a
    // picture (see CKeyframeCache).
    virtual size_t StartFrames() const { return 1; }
};

// Where a new client's stream starts.
enum class StartPolicy {
    CachedGroup,   // with the cached group when there is one (a picture at once), else the next keyframe
    NextKeyframe,  // with the next keyframe: live from the first frame, never a frame from before it came
};

struct HubCounts {
    uint64_t frames = 0;  // video frames received from the recorder
    uint64_t bytes = 0;   // their access unit bytes
    uint64_t keyframes = 0;
    int clients = 0;                                       // every reader
    std::map<std::string, int> readers;                    // the clients by front (see IClientSink::Front)
    std::map<std::string, uint64_t> skips;                 // a front's clients skipped to the next keyframe
    std::map<std::string, uint64_t> sentBytes;             // the units' bytes a front's clients took
    std::map<std::string, LinkReports> reports;            // what a front's clients' receivers report
    int waiting = 0;                                       // clients still waiting for their first frame (not ended)
    std::chrono::steady_clock::time_point lastFrame{};     // epoch: none yet
    std::chrono::steady_clock::time_point lastKeyframe{};  // epoch: none yet
    size_t cacheUnits = 0;                                 // the keyframe cache: the current group's units and bytes,
    size_t cacheBytes = 0;
    std::string cacheState = "no keyframe yet";  // and why it holds nothing
};

class CChannelHub {
public:
    explicit CChannelHub(int channel, std::string recorder = "", size_t cacheBytes = kKeyframeCacheBytes)
        : m_nChannel(channel), m_Recorder(std::move(recorder)), m_Cache(cacheBytes)
    {}
    CChannelHub(const CChannelHub &) = delete;
    CChannelHub &operator=(const CChannelHub &) = delete;

    int Channel() const { return m_nChannel; }
    // The recorder's name, for the log ("" when there is only one).
    const std::string &Recorder() const { return m_Recorder; }
    // Called, without the hub's lock, after the number of clients changed.
    void SetClientsChanged(std::function<void()> notify) { m_ClientsChanged = std::move(notify); }

    // The number of clients afterwards. A client whose stream already runs
    // (startNow: a web client) is sent the cached group at once; the others
    // (an RTSP client, whose pipeline is still being made) with the next
    // frame.
    int Add(const std::shared_ptr<IClientSink> &sink, bool startNow = false,
            StartPolicy policy = StartPolicy::CachedGroup);
    // False when the sink was not (or no longer) a client.
    bool Remove(const IClientSink *sink, int &clientsLeft);
    // The client's stream has begun (an RTSP client's pipeline asks for its
    // first data): it is sent the cached group now, not with the next frame.
    void StartNow(const IClientSink *sink);

    // A frame as the library delivers it; anything but an H.264 access unit
    // is ignored.
    void OnFrame(uint32_t type, const uint8_t *data, int32_t len)
    {
        OnFrame(type, data, len, std::chrono::steady_clock::now());
    }
    // The same, arrived at the time given.
    void OnFrame(uint32_t type, const uint8_t *data, int32_t len, std::chrono::steady_clock::time_point arrival);
    // The channel's stream ended (closed or lost): its group of pictures
    // is of no use to the next stream.
    void StreamEnded();
    // Ends every client's session; they stay counted until they leave.
    void EndClients();
    // Answers the clients still waiting for their first frame (the channel
    // is refused or the recorder cannot be reached): their sessions end,
    // the others play on. The number of clients answered.
    int EndWaiting();
    // Answers the clients that have waited longer than patience while the
    // channel delivered nothing for as long: whatever holds the recorder
    // up (a login or an opening that takes its whole time-out), a client
    // is not left waiting. A channel that delivers frames is left alone,
    // however long its clients wait for a keyframe.
    int EndStale(std::chrono::steady_clock::time_point now, std::chrono::milliseconds patience);

    // Runs f under the channel's lock: no frame is handed out meanwhile and
    // no client comes or goes. f must not block and must not call back into
    // the hub.
    void Hold(const std::function<void()> &f) const
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        f();
    }

    HubCounts Counts() const;
    // A copy of the cached group, its keyframe (with the parameter sets)
    // first; false when the cache holds none.
    bool CopyCachedGroup(std::vector<std::vector<uint8_t>> &units) const;

private:
    struct Client {
        std::shared_ptr<IClientSink> sink;
        bool started = false;  // is being sent every frame
        bool ended = false;    // told the stream is over
        std::chrono::steady_clock::time_point joined;
        bool fresh = true;  // has not started yet: gets the cached group
        CFrameClock clock;
        uint64_t *sent = nullptr;  // the front's count in m_Sent (its node stays put)
    };

    // Pushes a unit to a client, counting its bytes when it took it.
    static bool Send(Client &c, const SharedUnit &unit, const FrameTimes &times);

    // Sends the cached group to a client that has not started; false when
    // it could not take all of it (it tries again with the next frame).
    bool StartFromCache(Client &c);
    // Starts a fresh client from the cache when it holds a group; the
    // client's name and the frames it had from before it came, for the log
    // (units 0: none). withLatest: the group ends with the frame being
    // handed out, which is no cached frame.
    void TryStartFromCache(Client &c, bool withLatest, std::string &peer, size_t &units);
    void LogBurst(const std::string &peer, size_t units) const;

    const int m_nChannel;
    const std::string m_Recorder;
    std::function<void()> m_ClientsChanged;
    mutable std::mutex m_Mutex;
    std::vector<Client> m_Clients;
    common::CParameterSets m_Sets;
    CUnitPool m_Pool;  // the access units as sent
    CKeyframeCache m_Cache;
    common::CArrivalTimeline m_Timeline;  // the units' times (an eager recorder's opening burst spread)
    HubCounts m_Counts;
    std::map<std::string, uint64_t> m_Skips;
    std::map<std::string, uint64_t> m_Sent;
};

}  // namespace kn::gateway
