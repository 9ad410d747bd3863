// CLibraryHost: what the gateway shares of the library among its recorders.
// The library is started once per process and keeps process-wide hooks: one
// thread to post its disconnect notice to, one reply time-out, and a data
// callback that carries only a 32-bit user value. This object owns them and
// routes each notice (by session handle) and each frame (by route number)
// to the recorder it belongs to. A route number is never used twice, so a
// late frame of a recorder that was stopped reaches nobody.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kn::gateway {

// What a recorder takes from the library's threads.
class ILibraryClient {
public:
    virtual ~ILibraryClient() = default;
    // A frame (or type 255: the stream's connection is lost) of a channel,
    // on the stream's delivery thread.
    virtual void OnData(int channel, void *hStream, uint32_t type, const unsigned char *data, int32_t len) = 0;
    // The library's disconnect notice for this recorder's session.
    virtual void OnNotice() = 0;
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
    // stopped before).
    void Stop();

    // A recorder's route: the first 24 bits of the user value its streams
    // pass; the channel is the low 8 bits.
    uint32_t Add(const std::shared_ptr<ILibraryClient> &client);
    void Remove(uint32_t route);
    // The session a route's notices come for (null: none).
    void SetSession(uint32_t route, void *hSession);

    static uint32_t UserValue(uint32_t route, int channel) { return route << 8 | static_cast<uint32_t>(channel); }
    // The library's data callback for every stream.
    static void OnData(void *hStream, uint32_t type, const unsigned char *data, int32_t len, uint32_t user);

private:
    void NoticeLoop();
    std::shared_ptr<ILibraryClient> Find(uint32_t route);

    std::mutex m_Mutex;
    std::unordered_map<uint32_t, std::shared_ptr<ILibraryClient>> m_Routes;
    std::unordered_map<void *, uint32_t> m_Sessions;
    uint32_t m_nNextRoute = 1;
    bool m_bStarted = false;
    std::atomic<bool> m_bStop{false};
    std::thread m_Notices;
};

}  // namespace kn::gateway
