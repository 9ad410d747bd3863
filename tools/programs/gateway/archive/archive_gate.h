// CArchiveGate: a recorder's archive (search, playback, download) reached
// from threads other than its link's supervisor; the archive's calls into
// the library are all made here. The library takes one waiting request per
// session at a time, and no login or logout of the session beside it: the
// gate owns the session's request slot. Searches run one at a time on the
// gate's own search thread (there only while searches are queued), a
// bounded few wait behind the one under way, and more are refused at once
// (the caller answers "busy"); a search whose caller has gone is dropped
// before it runs. The link's checks of its session take the same slot.
// Nothing the link waits on is held by a search: when the link closes the
// session while a request is under way, the search stops at its next day
// and the gate logs the session out when its request returns (the link
// logs in again only after that). Stream calls share a lock that the link
// holds alone around its logout. Every stream opened through the gate is
// stopped by the gate before its session is logged out, its owner told
// first, so no handle outlives its session (the library may give the same
// address to a later stream).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "tools/programs/gateway/archive/archive_search.h"

namespace kn::gateway {

class CLibraryHost;

class CArchiveGate : public std::enable_shared_from_this<CArchiveGate> {
public:
    // Searches that may wait behind the one under way; more are refused.
    static constexpr size_t kMaxWaitingSearches = 4;
    // How long a refused caller is told to wait before it asks again.
    static constexpr int kRetryAfterSeconds = 2;

    CArchiveGate(std::string name, int channels, CLibraryHost &library)
        : m_Name(std::move(name)), m_nChannels(channels), m_Library(library)
    {}
    CArchiveGate(const CArchiveGate &) = delete;
    CArchiveGate &operator=(const CArchiveGate &) = delete;

    const std::string &Name() const { return m_Name; }
    int Channels() const { return m_nChannels.load(); }
    // A reload changed the recorder's channels.
    void SetChannels(int channels) { m_nChannels = channels; }
    CLibraryHost &Library() { return m_Library; }

    // The link: a login succeeded.
    void LoggedIn(void *hSession);
    // The link, before it logs out: every archive stream is ended (its
    // owner's lost callback first) and the session forgotten. The lock
    // returned keeps stream calls out until the logout is done. logoutNow
    // false: a request is under way on the session; the gate logs it out
    // when the request returns, and the link must not.
    std::unique_lock<std::shared_mutex> Closing(bool &logoutNow);
    // A session handed over by Closing has not been logged out yet: the
    // link logs in again (to the same recorder) only after that.
    bool LogoutPending();
    // The gate is going away: the queued searches are answered NotLoggedIn
    // and no more are taken. The search under way is not waited for.
    void Shutdown();

    // The recordings of a channel that overlap from..to (both inclusive), in
    // the recorder's order, asked day by day, one search of the recorder at
    // a time. Unanswered and Busy come with a message.
    enum class SearchOutcome { Found, NotLoggedIn, Unanswered, Busy, Dropped };
    struct SearchRequest {
        int channel = 0;
        int selector = 0;
        UnixTime from = 0;
        UnixTime to = 0;
    };
    struct SearchResult {
        SearchOutcome outcome = SearchOutcome::NotLoggedIn;
        std::vector<ArchiveRecording> found;
        std::string message;
    };
    // Queues a search; false (nothing queued) when kMaxWaitingSearches wait
    // already or the gate is shut. wanted is asked on the search thread just
    // before the search runs: false drops it (Dropped, the recorder not
    // asked). done is called once, on the search thread (or the caller's,
    // from Shutdown).
    bool QueueSearch(const SearchRequest &request, std::function<bool()> wanted,
                     std::function<void(SearchResult &&)> done);
    // The same, waited for (on a thread that may wait a search's time).
    SearchOutcome Search(int channel, int selector, UnixTime from, UnixTime to, std::vector<ArchiveRecording> &found,
                         std::string &message);

    // The link's check of its session, in the request slot: a parameter
    // read that needs the session. Busy: a request is under way; the check
    // has the slot's next turn (no queued search starts before the link
    // asks again, within a second).
    enum class SessionCheck { Answered, Unanswered, Busy, NotLoggedIn };
    SessionCheck CheckSession();
    // A search on the session went unanswered since the last call: a reason
    // for the link to check the session. Clears the flag.
    bool TakeUnansweredSearch();
    // Opens a playback from at, or a download from start to end (one day's
    // times), its frames given to the library host under the user value;
    // lost is called once, from the link's thread, when the session ends
    // before Stop. Null when not logged in or the opening failed.
    void *OpenPlayback(int channel, const ArchiveClock &at, uint32_t user, std::function<void()> lost);
    void *OpenDownload(int channel, const ArchiveClock &start, const ArchiveClock &end, uint32_t user,
                       std::function<void()> lost);
    // Pauses or resumes a playback opened here: false when it is no longer
    // open or the recorder refused.
    bool Pause(void *hStream);
    bool Resume(void *hStream);
    // Stops a stream opened here (nothing when the session already ended it).
    void Stop(void *hStream);

private:
    struct QueuedSearch {
        SearchRequest request;
        std::function<bool()> wanted;
        std::function<void(SearchResult &&)> done;
    };
    void SearchLoop();
    SearchResult RunSearch(void *hSession, const SearchRequest &request);
    // Ends a request on the session: logs out a session handed over meanwhile.
    void RequestDone();
    void *Session();
    void *Open(const std::function<void *(void *hSession)> &open, std::function<void()> lost);
    bool Control(void *hStream, int32_t code);

    const std::string m_Name;
    std::atomic<int> m_nChannels;
    CLibraryHost &m_Library;
    std::shared_mutex m_Calls;  // shared: stream calls; alone: the logout
    std::mutex m_Mutex;         // everything below
    std::condition_variable m_Cond;
    void *m_hSession = nullptr;
    bool m_bRequestUnderWay = false;  // the session's request slot is taken
    void *m_hHandedOver = nullptr;    // closed while a request was under way: logged out after it
    bool m_bSearching = false;        // the search thread runs
    bool m_bShut = false;
    bool m_bUnansweredSearch = false;
    bool m_bCheckWanted = false;  // the link's check waits for the slot: no search starts before it
    std::deque<QueuedSearch> m_Searches;
    std::map<void *, std::function<void()>> m_Streams;  // open here, with their lost callbacks
};

}  // namespace kn::gateway
