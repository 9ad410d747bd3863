// CArchiveGate: a recorder's archive (search, playback, download) reached
// from threads other than its link's supervisor; the archive's calls into
// the library are all made here. The library takes no call
// beside a login or logout and one waiting request per session at a time:
// archive calls share a lock that the link holds alone around its logout,
// and searches take turns. Every stream opened through the gate is stopped
// by the gate before its session is logged out, its owner told first, so
// no handle outlives its session (the library may give the same address to
// a later stream).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "tools/programs/gateway/archive/archive_search.h"

namespace kn::gateway {

class CLibraryHost;

class CArchiveGate {
public:
    CArchiveGate(std::string name, int channels, CLibraryHost &library)
        : m_Name(std::move(name)), m_nChannels(channels), m_Library(library)
    {}
    CArchiveGate(const CArchiveGate &) = delete;
    CArchiveGate &operator=(const CArchiveGate &) = delete;

    const std::string &Name() const { return m_Name; }
    int Channels() const { return m_nChannels; }
    CLibraryHost &Library() { return m_Library; }

    // The link: a login succeeded.
    void LoggedIn(void *hSession);
    // The link, before it logs out: every archive stream is ended (its
    // owner's lost callback first) and the session forgotten. The lock
    // returned keeps archive calls out until the logout is done.
    std::unique_lock<std::shared_mutex> Closing();

    // The recordings of a channel that overlap from..to (both inclusive), in
    // the recorder's order, asked day by day, alone among the recorder's
    // searches. Unanswered comes with a message.
    enum class SearchOutcome { Found, NotLoggedIn, Unanswered };
    SearchOutcome Search(int channel, int selector, UnixTime from, UnixTime to, std::vector<ArchiveRecording> &found,
                         std::string &message);
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
    void *Session();
    void *Open(const std::function<void *(void *hSession)> &open, std::function<void()> lost);
    bool Control(void *hStream, int32_t code);

    const std::string m_Name;
    const int m_nChannels;
    CLibraryHost &m_Library;
    std::shared_mutex m_Calls;  // shared: archive calls; alone: the logout
    std::mutex m_SearchTurn;
    std::mutex m_Mutex;  // the two below
    void *m_hSession = nullptr;
    std::map<void *, std::function<void()>> m_Streams;  // open here, with their lost callbacks
};

}  // namespace kn::gateway
