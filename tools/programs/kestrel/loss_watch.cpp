#include "tools/programs/kestrel/loss_watch.h"

#include <unistd.h>

#include <chrono>

#include "api/exports.h"
#include "tools/common/recorder_probe.h"

namespace kn::cli {

namespace {

constexpr uint32_t kNoticeWaitMs = 200;

}  // namespace

CLossWatch::~CLossWatch() { Stop(); }

bool CLossWatch::Start(void *session, const std::string &host, uint16_t port, std::function<void()> onLost,
                       std::function<bool()> quiet)
{
    m_Quiet = std::move(quiet);
    m_hSession = session;
    m_Host = host;
    m_wPort = port;
    m_OnLost = std::move(onLost);
    m_bRun = true;
    m_Thread = std::thread([this] { Run(); });
    // The registration names the watch's thread, so it is made there; wait
    // (bounded) until it is in place, so no notice of the job is missed.
    std::unique_lock<std::mutex> lk(m_Mutex);
    m_Cond.wait_for(lk, std::chrono::seconds(2), [&] { return m_bRegistered.load() || !m_bRun.load(); });
    return m_bRegistered;
}

void CLossWatch::Stop()
{
    if (!m_Thread.joinable()) {
        return;
    }
    m_bRun = false;
    m_Thread.join();
}

std::string CLossWatch::Reason() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_Reason;
}

void CLossWatch::Run()
{
    const uint32_t tid = static_cast<uint32_t>(::gettid());
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bRegistered = KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, tid) == 1;
        if (!m_bRegistered) {
            m_bRun = false;
        }
    }
    m_Cond.notify_all();
    common::CRecorderProbe probe(m_Host, m_wPort);
    // Once a notice came, the recorder is checked every two seconds while
    // the job sees nothing coming: a loss that follows silence brings no
    // notice of its own when the library has given up on the connection.
    bool noticed = false;
    while (m_bRun) {
        DvrThreadMessage msg{};
        if (KR_4100_GetThreadMessage(&msg, kNoticeWaitMs) == 1 && msg.message == KR_4100_DISCONNECT_MESSAGE &&
            msg.hSession == m_hSession) {
            ++m_nNotices;
            noticed = true;
        }
        if (!noticed || m_bLost || (m_Quiet && !m_Quiet())) {
            continue;
        }
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        std::string reason;
        if (probe.Check(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), reason) !=
            common::CRecorderProbe::Verdict::Gone) {
            continue;  // looked lately, or only quiet: the recorder still takes connections
        }
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            m_Reason = "the library reported the connection lost or silent, and a new connection failed: " + reason;
        }
        m_bLost = true;
        if (m_OnLost) {
            m_OnLost();
        }
    }
    // Turns the notice off; the library keeps only one target thread.
    KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, 0);
}

}  // namespace kn::cli
