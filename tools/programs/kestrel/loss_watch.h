// CLossWatch: notices that the recorder behind a session is gone, on every
// transport. The library posts its disconnect notice (0x1200) both when the
// command channel closes and after every 1.2 s in which the recorder sent
// nothing on it; a recorder that never answers keep-alives is silent and
// well. So a notice only makes the watch look: from the first notice on, a
// TCP connect to the recorder's port every two seconds while the job itself
// sees nothing coming; one that fails means the recorder is lost. A thread of the watch takes the notices, registered
// with KR_4100_SetDVRMessage; one watch per process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kn::cli {

class CLossWatch {
public:
    CLossWatch() = default;
    ~CLossWatch();  // Stop()
    CLossWatch(const CLossWatch &) = delete;
    CLossWatch &operator=(const CLossWatch &) = delete;

    // Watches the session's notices; onLost runs once, on the watch's
    // thread, when the recorder is found gone. quiet, when given, says
    // whether the job sees nothing coming (no frames lately); a notice is
    // checked only then. False when the library refused the registration.
    bool Start(void *session, const std::string &host, uint16_t port, std::function<void()> onLost = {},
               std::function<bool()> quiet = {});
    // Unregisters and ends the thread (within one notice wait, 200 ms).
    void Stop();
    bool Lost() const { return m_bLost; }
    // Why the recorder counts as lost ("" while it does not).
    std::string Reason() const;
    // Notices taken so far (lost or not).
    long Notices() const { return m_nNotices; }

private:
    void Run();

    void *m_hSession = nullptr;
    std::string m_Host;
    uint16_t m_wPort = 0;
    std::function<void()> m_OnLost;
    std::function<bool()> m_Quiet;
    std::thread m_Thread;
    std::atomic<bool> m_bRun{false};
    std::atomic<bool> m_bLost{false};
    std::atomic<long> m_nNotices{0};
    std::atomic<bool> m_bRegistered{false};
    mutable std::mutex m_Mutex;  // m_Reason, and the start hand-shake
    std::condition_variable m_Cond;
    std::string m_Reason;
};

}  // namespace kn::cli
