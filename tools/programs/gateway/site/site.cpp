#include "tools/programs/gateway/site/site.h"

#include <chrono>

#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

CSite::CSite(CLibraryHost &library, CRtspFront &front, int64_t statsMs)
    : m_Library(library), m_Front(front), m_nStatsMs(statsMs)
{}

CSite::~CSite() { StopAll(); }

void CSite::Apply(const std::vector<RecorderConfig> &recorders)
{
    ReapRetired(false);
    std::vector<std::string> gone;
    for (const auto &[name, link] : m_Links) {
        bool kept = false;
        for (const RecorderConfig &r : recorders) {
            kept = kept || r.name == name;
        }
        if (!kept) {
            gone.push_back(name);
        }
    }
    for (const std::string &name : gone) {
        Remove(name, "removed");
    }
    for (const RecorderConfig &r : recorders) {
        const auto it = m_Links.find(r.name);
        if (it != m_Links.end() && it->second->Config() == r) {
            continue;  // unchanged: left alone
        }
        if (it != m_Links.end()) {
            Remove(r.name, "changed, restarting");
        }
        Add(r);
    }
}

void CSite::Add(const RecorderConfig &config)
{
    auto link = std::make_shared<CRecorderLink>(config, m_Library, m_nStatsMs);
    // The library keeps one session per recorder address and port: a login
    // while the recorder's previous link still logs out would take over its
    // session. The new link logs in once the old ones have stopped.
    std::vector<std::shared_ptr<std::atomic<bool>>> before;
    for (const Retiring &r : m_Retiring) {
        if (r.host == config.host && r.port == config.port) {
            before.push_back(r.done);
        }
    }
    link->Start(std::move(before));
    m_Front.Mount(config.name, link->Hubs(), link->Archive());
    Log("%s: recorder %s:%u, channels 0-%d, %s", config.name.c_str(), config.host.c_str(),
        static_cast<unsigned>(config.port), config.channels - 1, config.transport == 1 ? "tcp" : "udp");
    m_Links[config.name] = std::move(link);
}

void CSite::Remove(const std::string &name, const char *why)
{
    const auto it = m_Links.find(name);
    if (it == m_Links.end()) {
        return;
    }
    std::shared_ptr<CRecorderLink> link = std::move(it->second);
    m_Links.erase(it);
    m_Front.Unmount(name, link->Config().channels);
    Log("%s: recorder %s", name.c_str(), why);
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_Retiring.push_back(Retiring{link->Config().host, link->Config().port, std::thread([link, done] {
                                      link->Stop();
                                      *done = true;
                                  }),
                                  done});
}

void CSite::ReapRetired(bool wait)
{
    for (auto it = m_Retiring.begin(); it != m_Retiring.end();) {
        if (wait || *it->done) {
            it->thread.join();
            it = m_Retiring.erase(it);
        } else {
            ++it;
        }
    }
}

void CSite::StopAll()
{
    std::vector<std::string> names;
    for (const auto &kv : m_Links) {
        names.push_back(kv.first);
    }
    for (const std::string &name : names) {
        Remove(name, "stopping");
    }
    ReapRetired(true);
}

void CSite::AnswerStale()
{
    // Within 2 s of asking, with a pass every 250 ms.
    constexpr std::chrono::milliseconds kPatience{1700};
    const auto now = std::chrono::steady_clock::now();
    for (const auto &kv : m_Links) {
        for (const auto &hub : kv.second->Hubs()) {
            if (const int answered = hub->EndStale(now, kPatience)) {
                Log("%s: channel %d: nothing from the recorder for %lld ms: %d waiting client(s) answered",
                    kv.first.c_str(), hub->Channel(), static_cast<long long>(kPatience.count()), answered);
            }
        }
    }
}

std::shared_ptr<CChannelHub> CSite::Hub(const std::string &name, int channel) const
{
    const auto it = m_Links.find(name);
    if (it == m_Links.end() || channel < 0 || static_cast<size_t>(channel) >= it->second->Hubs().size()) {
        return nullptr;
    }
    return it->second->Hubs()[static_cast<size_t>(channel)];
}

std::shared_ptr<CArchiveGate> CSite::Archive(const std::string &name) const
{
    const auto it = m_Links.find(name);
    return it != m_Links.end() ? it->second->Archive() : nullptr;
}

CGatewayState CSite::State() const
{
    CGatewayState state;
    state.takenAtUnixMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    for (const auto &kv : m_Links) {
        state.recorders.push_back(kv.second->Snapshot());
    }
    return state;
}

}  // namespace kn::gateway
