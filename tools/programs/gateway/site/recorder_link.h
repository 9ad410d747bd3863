// CRecorderLink: one recorder of the site, on its own. It has its own
// login, its own supervisor thread (the only thread that calls the library
// for it, but the data callback) and its own reconnection, so one recorder
// lost, refusing or slow never holds up another.
//
// Channels: a channel's live stream is opened when its first client arrives
// (or at once when it is preloaded) and closed when the last client has
// been gone for the linger time. A stream refused, lost or silent backs off
// on its own (1, 2, 4 ... seconds) while the other channels play on; the
// clients still waiting for its first frame are answered at once.
//
// The session: it is judged lost only on evidence about the session itself,
// never on one channel's trouble. The library's disconnect notice comes
// both for a closed command connection and for one merely silent (many
// recorders never answer keep-alives), and a new TCP connection to the
// recorder is accepted all the same when only the command channel was
// closed: so a notice, or a search that went unanswered, makes the link
// ask the session itself, with a request that needs it (at most once a
// second); unanswered, the session is lost: log out and log in again at
// once. A channel's trouble makes the link look at the recorder: a new TCP
// connection (at most every two seconds); refused or unanswered, the
// recorder is gone: log out, log in again with backoff, and reopen the
// channels that have clients. While it waits to log in again, the link
// looks at the recorder every 1.5 s and logs in as soon as it takes
// connections, whatever the backoff has grown to.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tools/common/backoff.h"
#include "tools/common/recorder_probe.h"
#include "tools/programs/gateway/archive/archive_gate.h"
#include "tools/programs/gateway/events/recorder_events.h"
#include "tools/programs/gateway/stream/channel_hub.h"
#include "tools/programs/gateway/status/gateway_status.h"
#include "tools/programs/gateway/site/config/site_config.h"

namespace kn::gateway {

// CLibraryHost: what the gateway shares of the library among its recorders.
// The library is started once per process and keeps process-wide hooks: one
// thread to post its disconnect notice to, one reply time-out, and a data
// callback that carries only a 32-bit user value. This object owns them and
// routes each notice (by session handle) and each frame (by route number)
// to the recorder it belongs to. A route number is never used twice, so a
// late frame of a recorder that was stopped reaches nobody.

// What a recorder takes from the library's threads.
class ILibraryClient {
public:
    virtual ~ILibraryClient() = default;
    // A frame (or type 255: the stream's connection is lost) of a channel,
    // on the stream's delivery thread.
    virtual void OnData(int channel, void *hStream, uint32_t type, const unsigned char *data, int32_t len) = 0;
    // The library's disconnect notice for this recorder's session.
    virtual void OnNotice() = 0;
    // A recorder message of this recorder's session (its 12 bytes), on the
    // session's receive thread: it must not wait.
    virtual void OnMessage(const unsigned char * /*data*/, uint32_t /*len*/) {}
};

class CLibraryHost {
public:
    CLibraryHost() = default;
    ~CLibraryHost();  // Stop()
    CLibraryHost(const CLibraryHost &) = delete;
    CLibraryHost &operator=(const CLibraryHost &) = delete;

    // Starts the library's socket layer and the notice thread; false when the
    // library did not start. One host per process.
    bool Start(uint32_t replyTimeoutMs);
    // Ends the notice thread and cleans the library up (every recorder is
    // stopped before). A session whose request is still under way is not
    // waited for: the library is then left as it is (false), and the
    // process should end without tearing it down.
    bool Stop();
    // A request (a search, a session check) is under way on some session.
    void RequestBegun() { ++m_nRequests; }
    void RequestEnded() { --m_nRequests; }

    // A recorder's route: the first 24 bits of the user value its streams
    // pass; the channel is the low 8 bits.
    uint32_t Add(const std::shared_ptr<ILibraryClient> &client);
    void Remove(uint32_t route);
    // The session a route's notices and messages come for (null: none).
    void SetSession(uint32_t route, void *hSession);
    // Where the recorders publish their events (null: nowhere); set before
    // the first recorder is added.
    void SetEvents(CEventBus *bus) { m_pEvents = bus; }
    CEventBus *Events() const { return m_pEvents; }

    static uint32_t UserValue(uint32_t route, int channel) { return route << 8 | static_cast<uint32_t>(channel); }
    // The library's data callback for every stream.
    static void OnData(void *hStream, uint32_t type, const unsigned char *data, int32_t len, uint32_t user);
    // The library's message callback, routed by session.
    static void OnMessage(uint32_t type, void *hSession, const unsigned char *data, uint32_t len);

private:
    void NoticeLoop();
    std::shared_ptr<ILibraryClient> Find(uint32_t route);

    std::mutex m_Mutex;
    std::unordered_map<uint32_t, std::shared_ptr<ILibraryClient>> m_Routes;
    std::unordered_map<void *, uint32_t> m_Sessions;
    uint32_t m_nNextRoute = 1;
    CEventBus *m_pEvents = nullptr;
    bool m_bStarted = false;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nRequests{0};
    std::thread m_Notices;
};

class CRecorderLink final : public ILibraryClient, public std::enable_shared_from_this<CRecorderLink> {
public:
    CRecorderLink(const RecorderConfig &config, CLibraryHost &library, int64_t statsMs);
    ~CRecorderLink() override;  // Stop()
    CRecorderLink(const CRecorderLink &) = delete;
    CRecorderLink &operator=(const CRecorderLink &) = delete;

    // The most channels a recorder serves.
    static constexpr int kMaxChannels = 32;

    RecorderConfig Config() const;
    // The channels' hubs, one per channel served; Hub: null for a channel
    // not served. From any thread.
    std::vector<std::shared_ptr<CChannelHub>> Hubs() const;
    std::shared_ptr<CChannelHub> Hub(int channel) const;
    // The recorder's archive, reached from other threads.
    const std::shared_ptr<CArchiveGate> &Archive() const { return m_pArchive; }

    // Registers with the library host and starts the supervisor, which logs
    // in once every flag of before is set (earlier links to the same
    // recorder have stopped).
    void Start(std::vector<std::shared_ptr<std::atomic<bool>>> before = {});
    // Closes every stream, logs out and ends the supervisor; the clients
    // still connected get the end of their streams. Idempotent; may take
    // as long as a login under way (bounded by the reply time-out).
    void Stop();
    // Wakes the supervisor (a client came or left).
    void Wake();
    // Takes what a reload changed of the same recorder (SameRecorder):
    // channels added are served at once, channels removed are closed and
    // their clients ended, and the times, preloads and events apply from
    // the supervisor's next pass. The session and every other channel's
    // stream are left as they are. On the main loop's thread.
    void Reconfigure(const RecorderConfig &next);

    // The recorder and its channels in the status model.
    RecorderStatus Status() const;

    void OnData(int channel, void *hStream, uint32_t type, const unsigned char *data, int32_t len) override;
    void OnNotice() override;
    void OnMessage(const unsigned char *data, uint32_t len) override { m_Events.Message(data, len); }

private:
    struct Channel {
        std::shared_ptr<CChannelHub> m_pHub;
        std::atomic<void *> m_hStream{nullptr};
        // Frames are taken from the moment the stream is asked for (a
        // recorder may send before the request returns) until it is stopped.
        std::atomic<bool> m_bAccepting{false};
        std::atomic<bool> m_bLost{false};  // set by the data callback (type 255)
        bool m_bReopen = false;            // the next opening follows a loss
        bool m_bConfirmed = false;         // frames arrived since the opening
        int64_t m_nOpenedAtMs = 0;
        uint64_t m_nFramesAtOpen = 0;
        int64_t m_nRetryAtMs = 0;
        bool m_bHadClients = false;       // at the previous pass
        int64_t m_nLingerUntilMs = 0;     // kept open until then after the last client left
        int64_t m_nNoClientSinceMs = -1;  // when the last client left (-1: a client is there, or none came)
        int64_t m_nOutageSinceMs = -1;    // clients waiting on a lost stream since
        common::CBackoff m_Backoff;
        // What the snapshot shows, under m_StateMutex.
        std::string m_State = "idle";
        int64_t m_nNextAttemptAtMs = -1;
        uint64_t m_nReconnections = 0;
        std::string m_LastError;
        double m_Fps = 0, m_Kbit = 0;
        // The rate meter's last sample (supervisor only).
        int64_t m_nSampleAtMs = 0;
        HubCounts m_Sample;
    };

    void Run();
    int64_t Step(int64_t now);  // one pass; the next time it must run
    void StepChannel(size_t index, int64_t now, bool &trouble, int64_t &next);
    void JudgeSession(int64_t now);
    void CheckSessionOnEvidence(int64_t now);
    void LookWhileWaiting(int64_t now);
    void Login(int64_t now);
    void DropSession(int64_t now, const std::string &why, bool atOnce = false);
    void CloseStream(Channel &c);
    void OpenStream(size_t index, int64_t now);
    void ChannelTrouble(size_t index, int64_t now, const std::string &why);
    void SetChannelState(Channel &c, const char *state, int64_t nextAttemptAtMs, const std::string &error = "");
    void SetRecorderState(const char *state, int64_t nextAttemptAtMs, const std::string &error = "");
    void MeasureRates(int64_t now);
    void PrintStats(int64_t now);
    bool Wanted(const Channel &c, int index, int clients, int64_t now) const;
    // The hub of a channel, made the first time it is served.
    void MakeHub(int channel);
    // The supervisor takes a reload's configuration (TakeConfig) and stops
    // serving the channels it removed (RetireChannel).
    void TakeConfig();
    void RetireChannel(size_t index);
    size_t Served() const;                                       // the channels served now, as the supervisor sees them
    void WatchClients(const std::shared_ptr<CChannelHub> &hub);  // a client coming or leaving wakes the supervisor

    // Written on the main loop's thread by Reconfigure (never the name, the
    // address or the credentials), under m_ConfigMutex; the supervisor
    // reads its own copy, m_Live, taken when m_nConfigVersion moved.
    mutable std::mutex m_ConfigMutex;
    RecorderConfig m_Config;
    std::atomic<uint64_t> m_nConfigVersion{0};
    RecorderConfig m_Live;
    uint64_t m_nLiveVersion = 0;
    std::atomic<int> m_nChannels;  // channels 0 .. m_nChannels-1 are served
    CLibraryHost &m_Library;
    const int64_t m_nStatsMs;
    const std::string m_Where;                         // "NAME (HOST:PORT)", for the log
    mutable std::mutex m_HubsMutex;                    // m_Hubs, and each channel's m_pHub as it is set
    std::vector<std::shared_ptr<CChannelHub>> m_Hubs;  // one per channel ever served; kept when removed
    std::shared_ptr<CArchiveGate> m_pArchive;
    std::vector<Channel> m_Channels;  // kMaxChannels, never resized (the data callback reads it)
    uint32_t m_nRoute = 0;
    bool m_bStarted = false;
    std::atomic<bool> m_bStop{false};
    std::mutex m_WakeMutex;
    std::condition_variable m_WakeCond;
    bool m_bWoken = false;
    std::atomic<void *> m_hSession{nullptr};
    // When the library's disconnect notice last came for the session.
    std::atomic<int64_t> m_nLastNoticeMs{-1};
    int64_t m_nNoticeCheckedMs = -1;  // the notice the last check of the session answered
    int64_t m_nNextCheckMs = 0;       // no check of the session before then
    bool m_bSearchUnanswered = false;
    int64_t m_nNextLookMs = 0;       // while waiting to log in: the next look at the recorder
    common::CRecorderProbe m_Probe;  // the looks at the recorder, two seconds apart
    bool m_bEverLoggedIn = false;
    bool m_bLoginFailed = false;  // the last attempt failed: clients are answered at once
    int64_t m_nLoginAtMs = 0;
    common::CBackoff m_LoginBackoff;
    int64_t m_nNextStatsMs = 0;
    int64_t m_nLastStatsMs = 0;
    std::vector<HubCounts> m_LastCounts;
    std::thread m_Supervisor;
    std::vector<std::shared_ptr<std::atomic<bool>>> m_Before;
    CRecorderEvents m_Events;  // its states and messages, as events

    mutable std::mutex m_StateMutex;  // the snapshot fields below and in Channel
    std::string m_State = "logging in";
    int64_t m_nNextAttemptAtMs = -1;
    std::string m_LastError;
    uint64_t m_nLogins = 0;
    uint64_t m_nSessionLosses = 0;
};

int64_t NowMs();

}  // namespace kn::gateway
