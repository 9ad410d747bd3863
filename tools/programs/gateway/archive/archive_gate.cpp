#include "tools/programs/gateway/archive/archive_gate.h"

#include "api/exports.h"
#include "tools/programs/gateway/site/recorder_link.h"

namespace kn::gateway {

namespace {

DvrTime ToDvr(const ArchiveClock &c) { return DvrTime{c.year, c.month, c.day, c.hour, c.minute, c.second}; }

UnixTime FromDvr(const DvrTime &d)
{
    return FromArchiveClock(ArchiveClock{d.nYear, d.nMonth, d.nDay, d.nHour, d.nMinute, d.nSecond});
}

}  // namespace

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

CArchiveGate::SearchOutcome CArchiveGate::Search(int channel, int selector, UnixTime from, UnixTime to,
                                                 std::vector<ArchiveRecording> &found, std::string &message)
{
    std::shared_lock<std::shared_mutex> calls(m_Calls);
    std::lock_guard<std::mutex> turn(m_SearchTurn);
    void *session = Session();
    if (session == nullptr) {
        return SearchOutcome::NotLoggedIn;
    }
    const DvrTime start = ToDvr(ToArchiveClock(from));
    const DvrTime end = ToDvr(ToArchiveClock(to));
    // Results of an earlier search, cut short, would come first otherwise.
    KR_4100_ClearFile(session);
    if (KR_4100_FindFile(session, channel, selector, &start, &end) != 1) {
        KR_4100_ClearFile(session);
        message = "the recorder did not answer the search";
        return SearchOutcome::Unanswered;
    }
    DvrFileRecord record{};
    while (KR_4100_FindNextFile(session, &record) == KR_4100_FIND_RECORD) {
        ArchiveRecording r;
        r.start = FromDvr(record.Start);
        r.end = FromDvr(record.End);
        r.value = record.dwValue;
        if (r.end >= r.start && r.end >= from && r.start <= to) {
            found.push_back(r);
        }
    }
    return SearchOutcome::Found;
}

void *CArchiveGate::OpenPlayback(int channel, const ArchiveClock &at, uint32_t user, std::function<void()> lost)
{
    const DvrTime t = ToDvr(at);
    return Open([&](void *session) { return KR_4100_PlayBack(session, channel, &t, &CLibraryHost::OnData, user); },
                std::move(lost));
}

void *CArchiveGate::OpenDownload(int channel, const ArchiveClock &start, const ArchiveClock &end, uint32_t user,
                                 std::function<void()> lost)
{
    const DvrTime s = ToDvr(start);
    const DvrTime e = ToDvr(end);
    return Open([&](void *session) { return KR_4100_DownLoad(session, channel, &s, &e, &CLibraryHost::OnData, user); },
                std::move(lost));
}

bool CArchiveGate::Pause(void *hStream) { return Control(hStream, KR_4100_PLAY_PAUSE); }

bool CArchiveGate::Resume(void *hStream) { return Control(hStream, KR_4100_PLAY_RESUME); }

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
