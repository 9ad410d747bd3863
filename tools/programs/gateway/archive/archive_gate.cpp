#include "tools/programs/gateway/archive/archive_gate.h"

#include <chrono>
#include <thread>
#include <utility>

#include "api/exports.h"
#include "tools/programs/gateway/site/recorder_link.h"

namespace kn::gateway {

namespace {

DvrTime ToDvr(const ArchiveClock &c) { return DvrTime{c.year, c.month, c.day, c.hour, c.minute, c.second}; }

UnixTime FromDvr(const DvrTime &d)
{
    return FromArchiveClock(ArchiveClock{d.nYear, d.nMonth, d.nDay, d.nHour, d.nMinute, d.nSecond});
}

// A parameter read that every recorder answers while the session stands.
constexpr int32_t kCheckCode = 42;
constexpr uint32_t kCheckReplyBytes = 512;
// How long the search thread keeps the slot free for a check the link asked
// for (the link's passes are at most 500 ms apart).
constexpr int64_t kCheckTurnMs = 1000;

}  // namespace

void CArchiveGate::LoggedIn(void *hSession)
{
    std::unique_lock<std::shared_mutex> alone(m_Calls);
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_hSession = hSession;
    m_bUnansweredSearch = false;
    m_bCheckWanted = false;
}

std::unique_lock<std::shared_mutex> CArchiveGate::Closing(bool &logoutNow)
{
    std::unique_lock<std::shared_mutex> alone(m_Calls);
    std::map<void *, std::function<void()>> streams;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        logoutNow = !m_bRequestUnderWay;
        if (!logoutNow) {
            m_hHandedOver = m_hSession;
        }
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

bool CArchiveGate::LogoutPending()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_hHandedOver != nullptr;
}

void CArchiveGate::Shutdown()
{
    std::deque<QueuedSearch> queued;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bShut = true;
        queued.swap(m_Searches);
    }
    for (QueuedSearch &q : queued) {
        q.done(SearchResult{});
    }
}

void *CArchiveGate::Session()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_hSession;
}

bool CArchiveGate::QueueSearch(const SearchRequest &request, std::function<bool()> wanted,
                               std::function<void(SearchResult &&)> done)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_bShut || m_Searches.size() >= kMaxWaitingSearches) {
        return false;
    }
    m_Searches.push_back(QueuedSearch{request, std::move(wanted), std::move(done)});
    if (!m_bSearching) {
        // One thread per recorder at most, there only while searches wait;
        // it holds the gate, so it may outlive the link.
        m_bSearching = true;
        std::thread([self = shared_from_this()] { self->SearchLoop(); }).detach();
    }
    return true;
}

CArchiveGate::SearchOutcome CArchiveGate::Search(int channel, int selector, UnixTime from, UnixTime to,
                                                 std::vector<ArchiveRecording> &found, std::string &message)
{
    struct Wait {
        std::mutex mutex;
        std::condition_variable cond;
        bool done = false;
        SearchResult result;
    };
    auto wait = std::make_shared<Wait>();
    if (!QueueSearch(
            SearchRequest{channel, selector, from, to}, [] { return true; },
            [wait](SearchResult &&result) {
                std::lock_guard<std::mutex> lk(wait->mutex);
                wait->result = std::move(result);
                wait->done = true;
                wait->cond.notify_all();
            })) {
        message = "the recorder's searches are all taken";
        return SearchOutcome::Busy;
    }
    std::unique_lock<std::mutex> lk(wait->mutex);
    wait->cond.wait(lk, [&] { return wait->done; });
    found = std::move(wait->result.found);
    message = std::move(wait->result.message);
    return wait->result.outcome;
}

void CArchiveGate::SearchLoop()
{
    for (;;) {
        QueuedSearch next;
        void *session = nullptr;
        {
            std::unique_lock<std::mutex> lk(m_Mutex);
            if (m_Searches.empty()) {
                m_bSearching = false;
                return;
            }
            next = std::move(m_Searches.front());
            m_Searches.pop_front();
            session = m_hSession;
        }
        if (next.wanted && !next.wanted()) {
            // Its caller has gone: the recorder is not asked.
            next.done(SearchResult{SearchOutcome::Dropped, {}, "the client has gone"});
            continue;
        }
        if (session == nullptr) {
            next.done(SearchResult{});
            continue;
        }
        {
            std::unique_lock<std::mutex> lk(m_Mutex);
            // The link's check goes first: it may hold the slot for its
            // reply time-out, and a link that asked for one has its turn
            // within its next pass (not waited for beyond that).
            m_Cond.wait_for(lk, std::chrono::milliseconds(kCheckTurnMs), [this] { return !m_bCheckWanted; });
            m_Cond.wait(lk, [this] { return !m_bRequestUnderWay; });
            if (m_hSession != session) {
                lk.unlock();
                next.done(SearchResult{});
                continue;
            }
            m_bRequestUnderWay = true;
        }
        m_Library.RequestBegun();
        SearchResult result = RunSearch(session, next.request);
        RequestDone();
        m_Library.RequestEnded();
        if (result.outcome == SearchOutcome::Unanswered) {
            std::lock_guard<std::mutex> lk(m_Mutex);
            m_bUnansweredSearch = m_hSession == session;
        }
        next.done(std::move(result));
    }
}

void CArchiveGate::RequestDone()
{
    std::unique_lock<std::mutex> lk(m_Mutex);
    // The slot stays taken while a session handed over meanwhile is logged
    // out: no login, logout or request of the session overlaps another.
    while (void *handedOver = m_hHandedOver) {
        lk.unlock();
        KR_4100_Logout(handedOver);
        lk.lock();
        if (m_hHandedOver == handedOver) {
            m_hHandedOver = nullptr;
        }
    }
    m_bRequestUnderWay = false;
    m_Cond.notify_all();
}

CArchiveGate::SearchResult CArchiveGate::RunSearch(void *session, const SearchRequest &q)
{
    SearchResult result;
    // Results of an earlier search, cut short, would come first otherwise.
    KR_4100_ClearFile(session);
    // Day by day, so that a session closed meanwhile ends the search at
    // the next day rather than after every day is asked.
    for (const auto &[dayStart, dayEnd] : SearchDays(q.from, q.to)) {
        if (Session() != session) {
            KR_4100_ClearFile(session);
            result.outcome = SearchOutcome::NotLoggedIn;
            return result;
        }
        const DvrTime start = ToDvr(dayStart);
        const DvrTime end = ToDvr(dayEnd);
        if (KR_4100_FindFile(session, q.channel, q.selector, &start, &end) != 1) {
            KR_4100_ClearFile(session);
            result.outcome = SearchOutcome::Unanswered;
            result.message = "the recorder did not answer the search";
            return result;
        }
    }
    DvrFileRecord record{};
    while (KR_4100_FindNextFile(session, &record) == KR_4100_FIND_RECORD) {
        ArchiveRecording r;
        r.start = FromDvr(record.Start);
        r.end = FromDvr(record.End);
        r.value = record.dwValue;
        if (r.end >= r.start && r.end >= q.from && r.start <= q.to) {
            result.found.push_back(r);
        }
    }
    result.outcome = SearchOutcome::Found;
    return result;
}

CArchiveGate::SessionCheck CArchiveGate::CheckSession()
{
    void *session = nullptr;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_hSession == nullptr) {
            return SessionCheck::NotLoggedIn;
        }
        if (m_bRequestUnderWay) {
            m_bCheckWanted = true;  // the next turn is the check's
            return SessionCheck::Busy;
        }
        m_bRequestUnderWay = true;
        m_bCheckWanted = false;
        session = m_hSession;
    }
    m_Library.RequestBegun();
    unsigned char reply[kCheckReplyBytes];
    const bool answered = KR_4100_GetDvrParam(session, kCheckCode, nullptr, 0, reply, sizeof reply) == 1;
    RequestDone();
    m_Library.RequestEnded();
    return answered ? SessionCheck::Answered : SessionCheck::Unanswered;
}

bool CArchiveGate::TakeUnansweredSearch()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return std::exchange(m_bUnansweredSearch, false);
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
