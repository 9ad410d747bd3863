// CSite: the recorders the gateway serves, kept as the site's configuration
// says. Each recorder is a CRecorderLink of its own with its hubs, mounted
// on the RTSP front under its name. A reload compares the new configuration
// with the running one: recorders added are started and mounted, removed
// ones unmounted and stopped, changed ones restarted; the others, and their
// clients, are not touched. Runs on the main loop's thread; stopping a
// recorder (which may wait out a login under way) happens on a thread of
// its own so the main loop keeps serving the other recorders' clients.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/programs/gateway/status/gateway_state.h"
#include "tools/programs/gateway/site/recorder_link.h"
#include "tools/programs/gateway/rtsp/rtsp_front.h"
#include "tools/programs/gateway/site/config/site_config.h"

namespace kn::gateway {

class CSite {
public:
    CSite(CLibraryHost &library, CRtspFront &front, int64_t statsMs);
    ~CSite();  // StopAll()
    CSite(const CSite &) = delete;
    CSite &operator=(const CSite &) = delete;

    // Brings the running recorders in line with the configuration.
    void Apply(const std::vector<RecorderConfig> &recorders);
    // Stops every recorder and waits for them.
    void StopAll();
    // Answers clients left waiting by a recorder that is held up (see
    // CChannelHub::EndStale); called every quarter of a second.
    void AnswerStale();
    // The state of every recorder and channel, now.
    CGatewayState State() const;
    // A recorder's channel hub, or null when there is no such channel.
    std::shared_ptr<CChannelHub> Hub(const std::string &name, int channel) const;
    // A recorder's archive, or null when there is no such recorder.
    std::shared_ptr<CArchiveGate> Archive(const std::string &name) const;

private:
    void Add(const RecorderConfig &config);
    void Remove(const std::string &name, const char *why);
    // Joins the stopping threads that have ended (all of them when wait).
    void ReapRetired(bool wait);

    CLibraryHost &m_Library;
    CRtspFront &m_Front;
    const int64_t m_nStatsMs;
    std::map<std::string, std::shared_ptr<CRecorderLink>> m_Links;
    struct Retiring {
        std::string host;
        uint16_t port = 0;
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Retiring> m_Retiring;  // stopping removed recorders
};

}  // namespace kn::gateway
