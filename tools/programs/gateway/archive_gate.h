// CArchiveGate: a recorder's archive (search, playback, download) reached
// from threads other than its link's supervisor. The library takes no call
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

    // Runs a search with the session, alone among the recorder's searches;
    // false when the recorder is not logged in.
    bool Search(const std::function<void(void *hSession)> &run);
    // Opens a stream with the session (open returns its handle or null);
    // lost is called once, from the link's thread, when the session ends
    // before Stop. Null when not logged in or the opening failed.
    void *Open(const std::function<void *(void *hSession)> &open, std::function<void()> lost);
    // A playback control code for a stream opened here: false when it is
    // no longer open.
    bool Control(void *hStream, int32_t code);
    // Stops a stream opened here (nothing when the session already ended it).
    void Stop(void *hStream);

private:
    void *Session();

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
