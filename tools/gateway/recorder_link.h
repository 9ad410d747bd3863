// CRecorderLink: the gateway's one login to the recorder, shared by every
// channel, and the live stream of each channel that has clients. One
// supervisor thread makes every library call but the data callback: it logs
// in, opens a channel's stream when its first client arrives, closes it when
// the last one has been gone for the linger time, and after any loss (a
// lost stream, a silent one, the library's disconnect notice, a failed
// login) logs in and reopens with backoff while the clients stay connected.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/gateway/channel_hub.h"
#include "tools/gateway/frame_clock.h"
#include "tools/gateway/gateway_options.h"

namespace kn::gateway {

// What the link tells the status page about itself, as of its last pass.
struct LinkState {
    bool loggedIn = false;
    struct ChannelState {
        bool open = false;  // the channel's live stream is open
        bool outage = false;  // clients wait for a stream that was lost or refused
        uint64_t reconnections = 0;
    };
    std::vector<ChannelState> channels;
};

class CRecorderLink {
public:
    CRecorderLink(const GatewayOptions &options, const std::vector<CChannelHub *> &hubs);
    ~CRecorderLink();  // Stop()
    CRecorderLink(const CRecorderLink &) = delete;
    CRecorderLink &operator=(const CRecorderLink &) = delete;

    // Starts the library and the threads; false when the library did not start.
    bool Start();
    // Closes every stream, logs out and stops the library. Idempotent.
    void Stop();
    // Wakes the supervisor (a client came or left).
    void Wake();
    // A copy of the state published by the supervisor's last pass.
    LinkState State() const;

private:
    struct Channel {
        CChannelHub *hub = nullptr;
        std::atomic<void *> stream{nullptr};
        // Frames are taken from the moment the stream is asked for (a
        // recorder may send before the request returns) until it is stopped.
        std::atomic<bool> accepting{false};
        std::atomic<bool> lost{false};  // set by the data callback (type 255)
        bool reopen = false;  // the next opening follows a loss
        bool confirmed = false;  // frames arrived since the opening
        int64_t openedAtMs = 0;
        uint64_t framesAtOpen = 0;
        int64_t retryAtMs = 0;
        bool hadClients = false;  // at the previous pass
        int64_t lingerUntilMs = 0;  // kept open until then after the last client left
        int64_t outageSinceMs = -1;  // clients waiting on a lost stream since
        uint64_t reconnections = 0;
        CBackoff backoff;
    };

    void Run();
    void NoticeLoop();
    int64_t Step(int64_t now);  // one pass; the next time it must run
    bool SessionSuspect(int64_t now) const;
    void Login(int64_t now);
    void DropSession(int64_t now, const char *why);
    void CloseStream(Channel &c);
    void OpenStream(Channel &c, int index, int64_t now);
    void PrintStats(int64_t now);
    void PublishState();
    static void OnData(void *hStream, uint32_t type, const unsigned char *data, int32_t len, uint32_t user);

    const GatewayOptions m_Options;
    std::vector<Channel> m_Channels;
    bool m_bStarted = false;
    std::atomic<bool> m_bStop{false};
    std::mutex m_WakeMutex;
    std::condition_variable m_WakeCond;
    bool m_bWoken = false;
    std::atomic<void *> m_hSession{nullptr};
    // When the library's disconnect notice last came. The library posts it
    // for a closed connection and for a command channel silent for over a
    // second alike, so it only makes the session suspect: a stream loss or
    // a refused stream while it is suspect means the session is gone.
    std::atomic<int64_t> m_nLastNoticeMs{-1};
    bool m_bEverLoggedIn = false;
    int64_t m_nLoginAtMs = 0;
    CBackoff m_LoginBackoff;
    int64_t m_nNextStatsMs = 0;
    int64_t m_nLastStatsMs = 0;
    std::vector<HubCounts> m_LastCounts;
    mutable std::mutex m_StateMutex;
    LinkState m_State;
    std::thread m_Supervisor;
    std::thread m_Notices;
};

int64_t NowMs();

}  // namespace kn::gateway
