// CSite: the recorders the gateway serves, kept as the site's configuration
// says, and the site directory the fronts see them through. Each recorder
// is a CRecorderLink of its own with its channels' streams; the fronts
// observe the recorders as they come and go. A reload compares the new
// configuration with the running one: recorders added are started,
// removed ones stopped, those reached at another address, port, with other
// credentials or transport restarted; for the others, what changed (their
// channels, times, preloads, events) is applied as they run, and their
// clients are not touched. Runs on the main loop's thread (readers may be
// opened from any thread); stopping a recorder (which may wait out a login
// under way) happens on a thread of its own so the main loop keeps serving
// the other recorders' clients.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/programs/gateway/events/event_bus.h"
#include "tools/programs/gateway/site/config/site_config.h"
#include "tools/programs/gateway/site/recorder_link.h"
#include "tools/programs/gateway/site/site_directory.h"

namespace kn::gateway {

class CSite final : public ISiteDirectory {
public:
    CSite(CLibraryHost &library, const SiteConfig &site);
    ~CSite() override;  // StopAll()
    CSite(const CSite &) = delete;
    CSite &operator=(const CSite &) = delete;

    // Brings the running recorders in line with the configuration.
    void Apply(const std::vector<RecorderConfig> &recorders);
    // Stops every recorder and waits for them.
    void StopAll();
    // Answers clients left waiting by a recorder that is held up (see
    // CChannelHub::EndStale); called every quarter of a second.
    void AnswerStale();
    // The last reload's outcome, for the status.
    void NoteReload(const ReloadStatus &reload);

    void AddObserver(ISiteObserver *observer) override;
    void RemoveObserver(ISiteObserver *observer) override;
    std::unique_ptr<CStreamReader> OpenReader(const std::string &recorder, int channel,
                                              std::shared_ptr<IClientSink> sink, const ReaderOptions &options) override;
    std::shared_ptr<CChannelHub> Stream(const std::string &recorder, int channel) const override;
    std::shared_ptr<CArchiveGate> Archive(const std::string &recorder) const override;
    bool May(const std::string &user, Action action, const std::string &recorder, int channel) const override;
    GatewayStatus Status() const override;
    void AddHttpRoute(std::shared_ptr<IHttpRoute> route) override;
    std::vector<std::shared_ptr<IHttpRoute>> HttpRoutes() const override;
    CEventBus &Events() override { return m_Events; }
    const CAccess &Access() const override { return m_Access; }

private:
    void Add(const RecorderConfig &config);
    void Remove(const std::string &name, const char *why);
    void Retune(CRecorderLink &link, const RecorderConfig &running, const RecorderConfig &next);
    // Joins the stopping threads that have ended (all of them when wait).
    void ReapRetired(bool wait);
    std::shared_ptr<CRecorderLink> Link(const std::string &name) const;

    CLibraryHost &m_Library;
    CEventBus m_Events;  // outlives the links, which publish to it
    const int64_t m_nStatsMs;
    CAccess m_Access;
    std::vector<std::string> m_Warnings;  // what the status warns of
    const std::chrono::steady_clock::time_point m_Started = std::chrono::steady_clock::now();
    mutable std::mutex m_LinksMutex;  // m_Links, for what other threads look up
    std::map<std::string, std::shared_ptr<CRecorderLink>> m_Links;
    std::vector<ISiteObserver *> m_Observers;
    std::vector<std::shared_ptr<IHttpRoute>> m_Routes;
    struct Retiring {
        std::string host;
        uint16_t port = 0;
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Retiring> m_Retiring;  // stopping removed recorders
    ReloadStatus m_LastReload;         // under m_LinksMutex
};

}  // namespace kn::gateway
