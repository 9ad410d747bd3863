#include "tools/programs/gateway/archive_gate.h"

#include "api/exports.h"

namespace kn::gateway {

void CArchiveGate::LoggedIn(void *hSession)
{
    std::unique_lock<std::shared_mutex> alone(m_Calls);
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_hSession = hSession;
}

std::unique_lock<std::shared_mutex> CArchiveGate::Closing()
{
    std::unique_lock<std::shared_mutex> alone(m_Calls);
    std::map<void *, std::function<void()>> streams;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_hSession = nullptr;
        streams.swap(m_Streams);
    }
    for (auto &[stream, lost] : streams) {
        // Told first: an owner waiting for room in its output lets the
        // library's delivery thread go before the stop waits for it.
        lost();
        KR_4100_StopPlayBack(stream);
    }
    return alone;
}

void *CArchiveGate::Session()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_hSession;
}

bool CArchiveGate::Search(const std::function<void(void *hSession)> &run)
{
    std::shared_lock<std::shared_mutex> calls(m_Calls);
    std::lock_guard<std::mutex> turn(m_SearchTurn);
    void *session = Session();
    if (session == nullptr) {
        return false;
    }
    run(session);
    return true;
}

void *CArchiveGate::Open(const std::function<void *(void *hSession)> &open, std::function<void()> lost)
{
    std::shared_lock<std::shared_mutex> calls(m_Calls);
    void *session = Session();
    if (session == nullptr) {
        return nullptr;
    }
    void *stream = open(session);
    if (stream != nullptr) {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Streams[stream] = std::move(lost);
    }
    return stream;
}

bool CArchiveGate::Control(void *hStream, int32_t code)
{
    std::shared_lock<std::shared_mutex> calls(m_Calls);
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_Streams.count(hStream) == 0) {
            return false;
        }
    }
    return KR_4100_PlayBackCtrl(hStream, code) == 1;
}

void CArchiveGate::Stop(void *hStream)
{
    std::shared_lock<std::shared_mutex> calls(m_Calls);
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_Streams.erase(hStream) == 0) {
            return;
        }
    }
    KR_4100_StopPlayBack(hStream);
}

}  // namespace kn::gateway
