#include "tools/programs/gateway/site/site.h"

#include <algorithm>
#include <chrono>

#include "tools/common/duration_text.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

RecorderEntry EntryOf(const CRecorderLink &link)
{
    const RecorderConfig config = link.Config();
    RecorderEntry entry{config.name, config.channels, link.Archive(), {}};
    for (const WordMeaning &w : config.events.words) {
        entry.stateKinds.push_back(w.kind);
    }
    return entry;
}

}  // namespace

CSite::CSite(CLibraryHost &library, const SiteConfig &site)
    : m_Library(library), m_nStatsMs(site.statsMs), m_Access(site.access, site.rtspUser, site.rtspPassword)
{
    m_Library.SetEvents(&m_Events);
    m_Access.SetLog(LogText);
    // A listener off loopback without TLS carries passwords and video in
    // clear text: said now and in the status.
    std::vector<std::pair<const char *, ListenAddress>> plain;
    for (const ListenAddress &l : site.Tls() ? site.plainListen : site.listen) {
        plain.emplace_back("rtsp", l);
    }
    if (site.http) {
        for (const ListenAddress &l : site.Tls() ? site.plainHttp : std::vector<ListenAddress>{site.httpListen}) {
            plain.emplace_back("http", l);
        }
    }
    for (const auto &[scheme, l] : plain) {
        if (!IsLoopback(l.address)) {
            m_Warnings.push_back(std::string(scheme) + "://" + l.address + ":" + std::to_string(l.port) +
                                 " is not loopback and has no TLS: passwords and video cross the network in clear");
            Log("warning: %s", m_Warnings.back().c_str());
        }
    }
}

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
        if (it != m_Links.end()) {
            const RecorderConfig running = it->second->Config();
            if (running == r) {
                continue;  // unchanged: left alone
            }
            if (running.SameRecorder(r)) {
                Retune(*it->second, running, r);
                continue;
            }
            Remove(r.name, "changed (address, port, credentials or transport), restarting");
        }
        Add(r);
    }
}

// The same recorder with other channels, times, preloads or events: its
// session and its other channels' streams play on.
void CSite::Retune(CRecorderLink &link, const RecorderConfig &running, const RecorderConfig &next)
{
    std::string what;
    auto note = [&what](bool changed, const std::string &text) {
        if (changed) {
            what += (what.empty() ? "" : ", ") + text;
        }
    };
    auto secs = [](int64_t ms) { return common::Seconds(static_cast<double>(ms) / 1000.0); };
    note(running.channels != next.channels,
         "channels 0-" + std::to_string(running.channels - 1) + " -> 0-" + std::to_string(next.channels - 1));
    note(running.lingerMs != next.lingerMs, "linger " + secs(next.lingerMs));
    note(running.idleMs != next.idleMs, "idle-timeout " + secs(next.idleMs));
    note(running.giveUpMs != next.giveUpMs, "give-up " + secs(next.giveUpMs));
    note(running.backoffMaxMs != next.backoffMaxMs, "backoff-max " + secs(next.backoffMaxMs));
    note(running.preloadAll != next.preloadAll || running.preload != next.preload, "preload");
    note(!(running.events == next.events), "events");
    link.Reconfigure(next);
    Log("%s: %s applied without a restart", next.name.c_str(), what.c_str());
    if (running.channels != next.channels || !(running.events == next.events)) {
        const RecorderEntry entry = EntryOf(link);
        for (ISiteObserver *observer : m_Observers) {
            observer->RecorderChanged(entry, running.channels);
        }
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
    Log("%s: recorder %s:%u, channels 0-%d, %s", config.name.c_str(), config.host.c_str(),
        static_cast<unsigned>(config.port), config.channels - 1, config.transport == 1 ? "tcp" : "udp");
    const RecorderEntry entry = EntryOf(*link);
    {
        std::lock_guard<std::mutex> lk(m_LinksMutex);
        m_Links[config.name] = std::move(link);
    }
    for (ISiteObserver *observer : m_Observers) {
        observer->RecorderAdded(entry);
    }
}

void CSite::Remove(const std::string &name, const char *why)
{
    const auto it = m_Links.find(name);
    if (it == m_Links.end()) {
        return;
    }
    std::shared_ptr<CRecorderLink> link = it->second;
    {
        std::lock_guard<std::mutex> lk(m_LinksMutex);
        m_Links.erase(it);
    }
    for (ISiteObserver *observer : m_Observers) {
        observer->RecorderRemoved(name, link->Config().channels);
    }
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

std::shared_ptr<CRecorderLink> CSite::Link(const std::string &name) const
{
    std::lock_guard<std::mutex> lk(m_LinksMutex);
    const auto it = m_Links.find(name);
    return it != m_Links.end() ? it->second : nullptr;
}

void CSite::AddObserver(ISiteObserver *observer)
{
    m_Observers.push_back(observer);
    for (const auto &[name, link] : m_Links) {
        observer->RecorderAdded(EntryOf(*link));
    }
}

void CSite::RemoveObserver(ISiteObserver *observer)
{
    m_Observers.erase(std::remove(m_Observers.begin(), m_Observers.end(), observer), m_Observers.end());
}

std::unique_ptr<CStreamReader> CSite::OpenReader(const std::string &recorder, int channel,
                                                 std::shared_ptr<IClientSink> sink, const ReaderOptions &options)
{
    const std::shared_ptr<CChannelHub> hub = Stream(recorder, channel);
    if (hub == nullptr || sink == nullptr) {
        return nullptr;
    }
    hub->Add(sink, options.startNow, options.start);
    return std::make_unique<CStreamReader>(hub, std::move(sink));
}

std::shared_ptr<CChannelHub> CSite::Stream(const std::string &name, int channel) const
{
    const std::shared_ptr<CRecorderLink> link = Link(name);
    return link != nullptr ? link->Hub(channel) : nullptr;
}

std::shared_ptr<CArchiveGate> CSite::Archive(const std::string &name) const
{
    const std::shared_ptr<CRecorderLink> link = Link(name);
    return link != nullptr ? link->Archive() : nullptr;
}

bool CSite::May(const std::string &user, Action action, const std::string &recorder, int channel) const
{
    return m_Access.May(user, action, recorder, channel);
}

GatewayStatus CSite::Status() const
{
    GatewayStatus status;
    status.version = KN_TOOL_VERSION;
    status.uptime = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Started).count();
    status.takenAtUnixMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::vector<std::shared_ptr<CRecorderLink>> links;
    {
        std::lock_guard<std::mutex> lk(m_LinksMutex);
        status.lastReload = m_LastReload;
        for (const auto &kv : m_Links) {
            links.push_back(kv.second);
        }
    }
    for (const auto &link : links) {
        status.recorders.push_back(link->Status());
    }
    status.warnings = m_Warnings;
    status.loginRefusals = m_Access.Refusals();
    return status;
}

void CSite::NoteReload(const ReloadStatus &reload)
{
    std::lock_guard<std::mutex> lk(m_LinksMutex);
    m_LastReload = reload;
}

void CSite::AddHttpRoute(std::shared_ptr<IHttpRoute> route) { m_Routes.push_back(std::move(route)); }

std::vector<std::shared_ptr<IHttpRoute>> CSite::HttpRoutes() const { return m_Routes; }

}  // namespace kn::gateway
