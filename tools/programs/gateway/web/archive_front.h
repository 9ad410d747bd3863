// CArchiveFront: the recorders' archives on the gateway's HTTP server.
//   /api/recordings?recorder=NAME&channel=CH&from=T&to=T[&kind=K]
//       the recordings found, as JSON (times in ISO 8601 with their offset)
//   /NAME/CH.mp4?start=T&end=T
//       that stretch of recording as an MP4 file, made while it downloads
// A search runs on a thread of its own, a clip on its job's thread; the
// main loop never waits for a recorder.
#pragma once

#include <memory>
#include <map>
#include <string>

#include "tools/programs/gateway/site/site_directory.h"

typedef struct _SoupServerMessage SoupServerMessage;
typedef struct _GHashTable GHashTable;

namespace kn::gateway {

class CArchiveGate;
class CClipResponse;

class CArchiveFront {
public:
    explicit CArchiveFront(ISiteDirectory &directory) : m_Directory(directory) {}
    ~CArchiveFront();  // Stop()
    CArchiveFront(const CArchiveFront &) = delete;
    CArchiveFront &operator=(const CArchiveFront &) = delete;

    // Answers the request when it is the archive's (true); GET and HEAD only.
    bool Route(SoupServerMessage *msg, const std::string &path, GHashTable *query);
    // Cancels every clip under way.
    void Stop();

    // Clips longer than this are refused (a clip is one response).
    static constexpr int64_t kMaxClipSeconds = 24 * 3600;

private:
    // The recorder's archive when it has the channel; else answered 404.
    std::shared_ptr<CArchiveGate> FindGate(SoupServerMessage *msg, const std::string &name, int channel);
    void ServeSearch(SoupServerMessage *msg, GHashTable *query);
    void ServeClip(SoupServerMessage *msg, const std::string &name, int channel, GHashTable *query);

    ISiteDirectory &m_Directory;
    std::map<CClipResponse *, std::shared_ptr<CClipResponse>> m_Clips;
    std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);
};

}  // namespace kn::gateway
