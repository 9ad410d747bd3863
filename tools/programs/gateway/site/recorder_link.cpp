#include "tools/programs/gateway/site/recorder_link.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "api/exports.h"
#include "tools/common/duration_text.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

constexpr int64_t kLongestWaitMs = 500;  // for the silence check of open streams
// A notice this recent makes the session worth a look (the library repeats
// it every 200 ms while the command channel stays silent).
constexpr int64_t kNoticeFreshMs = 2000;
constexpr int64_t kRateSampleMs = 1000;

std::string Seconds(int64_t ms) { return common::Seconds(static_cast<double>(ms) / 1000.0); }

}  // namespace

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CRecorderLink::CRecorderLink(const RecorderConfig &config, CLibraryHost &library, int64_t statsMs)
    : m_Config(config),
      m_Library(library),
      m_nStatsMs(statsMs),
      m_Where(config.name),
      m_pArchive(std::make_shared<CArchiveGate>(config.name, config.channels, library)),
      m_Channels(static_cast<size_t>(config.channels)),
      m_Probe(config.host, config.port),
      m_LoginBackoff(config.backoffMaxMs),
      m_Events(config.name, config.channels, config.events, library.Events())
{
    for (int i = 0; i < config.channels; ++i) {
        m_Hubs.push_back(std::make_shared<CChannelHub>(i, config.name));
        m_Channels[static_cast<size_t>(i)].hub = m_Hubs.back();
        m_Channels[static_cast<size_t>(i)].backoff = common::CBackoff(config.backoffMaxMs);
    }
    m_LastCounts.resize(m_Channels.size());
}

CRecorderLink::~CRecorderLink() { Stop(); }

void CRecorderLink::Start(std::vector<std::shared_ptr<std::atomic<bool>>> before)
{
    m_Before = std::move(before);
    // The hubs outlive this link when clients are still attached: they
    // hold it weakly.
    std::weak_ptr<CRecorderLink> weak = weak_from_this();
    for (const auto &hub : m_Hubs) {
        hub->SetClientsChanged([weak] {
            if (const auto link = weak.lock()) {
                link->Wake();
            }
        });
    }
    m_nRoute = m_Library.Add(shared_from_this());
    m_bStarted = true;
    m_nNextStatsMs = NowMs() + m_nStatsMs;
    m_nLastStatsMs = NowMs();
    m_Supervisor = std::thread([this] { Run(); });
}

void CRecorderLink::Stop()
{
    if (!m_bStarted) {
        return;
    }
    m_bStop = true;
    Wake();
    if (m_Supervisor.joinable()) {
        m_Supervisor.join();
    }
    m_Library.Remove(m_nRoute);
    for (const auto &hub : m_Hubs) {
        hub->EndClients();
    }
    SetRecorderState("stopped", -1);
    m_bStarted = false;
}

void CRecorderLink::Wake()
{
    {
        std::lock_guard<std::mutex> lk(m_WakeMutex);
        m_bWoken = true;
    }
    m_WakeCond.notify_all();
}

void CRecorderLink::OnData(int channel, void *hStream, uint32_t type, const unsigned char *data, int32_t len)
{
    if (channel < 0 || static_cast<size_t>(channel) >= m_Channels.size()) {
        return;
    }
    Channel &c = m_Channels[static_cast<size_t>(channel)];
    if (!c.accepting) {
        return;  // a stream already given up
    }
    void *current = c.stream.load();
    if (type == 255) {
        // Only the loss of this channel's current stream (or of the one
        // being opened) counts; a late notice of an old one does not.
        if (current == hStream || current == nullptr) {
            c.lost = true;
            Wake();
        }
        return;
    }
    if (current == hStream || current == nullptr) {
        c.hub->OnFrame(type, data, len);
    }
}

void CRecorderLink::OnNotice() { m_nLastNoticeMs = NowMs(); }

void CRecorderLink::Run()
{
    for (const auto &done : m_Before) {
        while (!*done && !m_bStop) {
            std::unique_lock<std::mutex> lk(m_WakeMutex);
            m_WakeCond.wait_for(lk, std::chrono::milliseconds(50), [this] { return m_bStop.load(); });
        }
    }
    while (!m_bStop) {
        const int64_t now = NowMs();
        const int64_t next = std::min(Step(now), now + kLongestWaitMs);
        std::unique_lock<std::mutex> lk(m_WakeMutex);
        m_WakeCond.wait_for(lk, std::chrono::milliseconds(std::max<int64_t>(next - NowMs(), 1)),
                            [this] { return m_bWoken || m_bStop.load(); });
        m_bWoken = false;
    }
    for (Channel &c : m_Channels) {
        CloseStream(c);
    }
    if (void *session = m_hSession.exchange(nullptr)) {
        m_Library.SetSession(m_nRoute, nullptr);
        const auto archiveClosed = m_pArchive->Closing();
        KR_4100_Logout(session);
        Log("%s: logged out of %s:%u", m_Where.c_str(), m_Config.host.c_str(), static_cast<unsigned>(m_Config.port));
    }
}

bool CRecorderLink::Wanted(const Channel &c, int index, int clients, int64_t now) const
{
    return clients > 0 || now < c.lingerUntilMs || m_Config.Preloaded(index);
}

int64_t CRecorderLink::Step(int64_t now)
{
    int64_t next = now + kLongestWaitMs;
    if (m_hSession.load() == nullptr) {
        if (now >= m_nLoginAtMs) {
            Login(now);
        }
        next = std::min(next, m_nLoginAtMs);
    }
    bool trouble = false;
    bool anyOpen = false;
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        StepChannel(i, now, trouble, next);
        anyOpen = anyOpen || m_Channels[i].stream.load() != nullptr;
    }
    // A channel in trouble, or the library's notice while no stream is open
    // (nothing else then tells a closed session from a quiet one): look.
    const int64_t notice = m_nLastNoticeMs.load();
    if (trouble || (!anyOpen && notice >= 0 && now - notice < kNoticeFreshMs)) {
        JudgeSession(NowMs());
    }
    MeasureRates(now);
    if (m_nStatsMs > 0) {
        if (now >= m_nNextStatsMs) {
            PrintStats(now);
            m_nNextStatsMs = now + m_nStatsMs;
        }
        next = std::min(next, m_nNextStatsMs);
    }
    return next;
}

void CRecorderLink::StepChannel(size_t i, int64_t now, bool &trouble, int64_t &next)
{
    Channel &c = m_Channels[i];
    const HubCounts counts = c.hub->Counts();
    // A client leaving wakes this thread, so the linger runs from the
    // moment the last one left.
    if (c.hadClients && counts.clients == 0) {
        // Only a stream that plays is worth keeping: a refused one is not.
        c.lingerUntilMs = c.stream.load() != nullptr && c.confirmed ? now + m_Config.lingerMs : 0;
    }
    c.hadClients = counts.clients > 0;
    const bool wanted = Wanted(c, static_cast<int>(i), counts.clients, now);
    if (c.stream.load() != nullptr) {
        const auto sinceFrame = std::chrono::steady_clock::now() - counts.lastFrame;
        const bool silent =
            now - c.openedAtMs >= m_Config.idleMs &&
            (counts.frames == c.framesAtOpen || sinceFrame >= std::chrono::milliseconds(m_Config.idleMs));
        if (c.lost || silent) {
            const bool refused = !c.confirmed && counts.frames == c.framesAtOpen;
            const std::string why =
                c.lost ? (refused ? "the recorder closed it before any frame (refused)" : "the recorder closed it")
                       : "no frames for " + Seconds(m_Config.idleMs);
            Log("%s: channel %zu: stream lost (%s)", m_Where.c_str(), i, why.c_str());
            CloseStream(c);
            c.reopen = true;
            c.outageSinceMs = c.outageSinceMs >= 0 ? c.outageSinceMs : now;
            ChannelTrouble(i, now, why);
            trouble = true;
        } else if (!wanted) {
            Log("%s: channel %zu: stream closed, no client for %s", m_Where.c_str(), i,
                Seconds(m_Config.lingerMs).c_str());
            CloseStream(c);
            c.reopen = false;
            c.outageSinceMs = -1;
            c.backoff.Reset();
            SetChannelState(c, "idle", -1);
        } else if (!c.confirmed && counts.frames > c.framesAtOpen) {
            c.confirmed = true;
            c.backoff.Reset();
            m_LoginBackoff.Reset();
            SetChannelState(c, "playing", -1);
        }
    }
    if (c.stream.load() == nullptr && wanted) {
        if (m_hSession.load() != nullptr && now >= c.retryAtMs) {
            OpenStream(i, now);
            trouble = trouble || c.stream.load() == nullptr;
        } else if (m_hSession.load() == nullptr && m_bLoginFailed && counts.waiting > 0) {
            // The recorder cannot be reached now: a client asking is told
            // at once rather than left waiting for the next login.
            c.hub->EndWaiting();
        } else if (m_hSession.load() != nullptr && counts.waiting > 0) {
            c.hub->EndWaiting();  // the channel is backing off after a refusal
        }
        if (c.stream.load() == nullptr) {
            if (c.outageSinceMs < 0 && c.reopen) {
                c.outageSinceMs = now;
            }
            if (m_hSession.load() == nullptr) {
                SetChannelState(c, "waiting", -1);
            }
            next = std::min(next, std::max(c.retryAtMs, now + 1));
        }
    } else if (c.stream.load() == nullptr && !wanted && c.reopen) {
        c.reopen = false;
        c.backoff.Reset();
        SetChannelState(c, "idle", -1);
    }
    if (c.stream.load() == nullptr && c.outageSinceMs >= 0 && counts.clients > 0 &&
        now - c.outageSinceMs >= m_Config.giveUpMs) {
        Log("%s: channel %zu: no stream for %s: ending the sessions of %d client(s)", m_Where.c_str(), i,
            Seconds(now - c.outageSinceMs).c_str(), counts.clients);
        c.hub->EndClients();
        c.outageSinceMs = -1;
        c.reopen = false;
        c.hadClients = false;  // no linger after this
        c.lingerUntilMs = 0;
    }
    if (!wanted) {
        c.outageSinceMs = -1;
    } else if (counts.clients == 0 && c.lingerUntilMs > now) {
        next = std::min(next, c.lingerUntilMs);
    }
}

// A channel refused, lost or silent: it backs off alone, and the clients
// still waiting for its first frame get their answer now.
void CRecorderLink::ChannelTrouble(size_t i, int64_t now, const std::string &why)
{
    Channel &c = m_Channels[i];
    c.retryAtMs = now + c.backoff.Next();
    const int answered = c.hub->EndWaiting();
    Log("%s: channel %zu: reopening in %s%s", m_Where.c_str(), i, Seconds(c.retryAtMs - now).c_str(),
        answered > 0 ? (", " + std::to_string(answered) + " waiting client(s) answered").c_str() : "");
    SetChannelState(c, "retrying", c.retryAtMs, why);
}

// Evidence about the session: a new connection to the recorder, at most
// every two seconds. Refused or unanswered: the session is lost with it.
// Taken up, not the channel's trouble itself, which may be the channel's
// own (a refusal).
void CRecorderLink::JudgeSession(int64_t now)
{
    if (m_hSession.load() == nullptr) {
        return;
    }
    std::string reason;
    if (m_Probe.Check(now, reason) != common::CRecorderProbe::Verdict::Gone) {
        return;  // not yet, or the recorder takes connections: the trouble is the channel's own
    }
    DropSession(NowMs(), "the recorder is lost: a new connection failed: " + reason);
}

void CRecorderLink::Login(int64_t now)
{
    int32_t result = 0;
    void *session =
        KR_4100_Login(m_Config.host.c_str(), m_Config.port, m_Config.user.c_str(), m_Config.password.c_str(), &result);
    if (session == nullptr) {
        const int64_t delay = m_LoginBackoff.Next();
        m_nLoginAtMs = NowMs() + delay;
        m_bLoginFailed = true;
        const std::string why = "login to " + m_Config.host + ":" + std::to_string(m_Config.port) + " as '" +
                                m_Config.user + "' failed (unreachable, refused or no answer)";
        Log("%s: %s; retrying in %s", m_Where.c_str(), why.c_str(), Seconds(delay).c_str());
        SetRecorderState("reconnecting", m_nLoginAtMs, why);
        for (Channel &c : m_Channels) {
            c.hub->EndWaiting();
        }
        return;
    }
    m_hSession = session;
    m_pArchive->LoggedIn(session);
    m_bLoginFailed = false;
    m_nLastNoticeMs = -1;
    m_Library.SetSession(m_nRoute, session);
    Log("%s: %s %s:%u as '%s'", m_Where.c_str(), m_bEverLoggedIn ? "logged in again to" : "logged in to",
        m_Config.host.c_str(), static_cast<unsigned>(m_Config.port), m_Config.user.c_str());
    m_bEverLoggedIn = true;
    {
        std::lock_guard<std::mutex> lk(m_StateMutex);
        ++m_nLogins;
    }
    SetRecorderState("logged in", -1);
    // Streams waiting on the session open at once.
    for (Channel &c : m_Channels) {
        c.retryAtMs = std::min(c.retryAtMs, now);
    }
}

void CRecorderLink::DropSession(int64_t now, const std::string &why)
{
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        Channel &c = m_Channels[i];
        if (c.stream.load() != nullptr) {
            CloseStream(c);
            c.reopen = true;
            c.outageSinceMs = now;
            Log("%s: channel %zu: stream lost with the session", m_Where.c_str(), i);
        }
        c.retryAtMs = 0;
        c.hub->EndWaiting();
    }
    if (void *session = m_hSession.exchange(nullptr)) {
        m_Library.SetSession(m_nRoute, nullptr);
        const auto archiveClosed = m_pArchive->Closing();
        KR_4100_Logout(session);
    }
    const int64_t delay = m_LoginBackoff.Next();
    m_nLoginAtMs = now + delay;
    m_bLoginFailed = true;
    Log("%s: %s: logging in again in %s", m_Where.c_str(), why.c_str(), Seconds(delay).c_str());
    {
        std::lock_guard<std::mutex> lk(m_StateMutex);
        ++m_nSessionLosses;
    }
    SetRecorderState("reconnecting", m_nLoginAtMs, why);
}

void CRecorderLink::CloseStream(Channel &c)
{
    c.accepting = false;
    if (void *stream = c.stream.exchange(nullptr)) {
        KR_4100_StopRealPlay(stream);
    }
    c.hub->StreamEnded();
    c.lost = false;
}

void CRecorderLink::OpenStream(size_t i, int64_t now)
{
    Channel &c = m_Channels[i];
    c.lost = false;
    c.framesAtOpen = c.hub->Counts().frames;
    c.confirmed = false;
    c.accepting = true;
    SetChannelState(c, "opening", -1);
    void *stream = KR_4100_RealPlay(m_hSession.load(), static_cast<int>(i), m_Config.transport, &CLibraryHost::OnData,
                                    CLibraryHost::UserValue(m_nRoute, static_cast<int>(i)));
    if (stream == nullptr) {
        c.accepting = false;
        Log("%s: channel %zu: the recorder did not open the stream", m_Where.c_str(), i);
        ChannelTrouble(i, NowMs(), "the recorder did not open the stream");
        return;
    }
    c.stream = stream;
    c.openedAtMs = NowMs();
    if (c.reopen) {
        std::lock_guard<std::mutex> lk(m_StateMutex);
        ++c.reconnections;
        Log("%s: channel %zu: stream reopened after %s (reconnection %llu)", m_Where.c_str(), i,
            Seconds(now - (c.outageSinceMs >= 0 ? c.outageSinceMs : now)).c_str(),
            static_cast<unsigned long long>(c.reconnections));
    } else {
        Log("%s: channel %zu: stream opened (%s)", m_Where.c_str(), i, m_Config.transport == 1 ? "tcp" : "udp");
    }
    c.reopen = false;
    c.outageSinceMs = -1;
}

void CRecorderLink::SetChannelState(Channel &c, const char *state, int64_t nextAttemptAtMs, const std::string &error)
{
    std::lock_guard<std::mutex> lk(m_StateMutex);
    m_Events.ChannelState(static_cast<int>(&c - m_Channels.data()), c.state, state, error);
    c.state = state;
    c.nextAttemptAtMs = nextAttemptAtMs;
    if (!error.empty()) {
        c.lastError = error;
    }
}

void CRecorderLink::SetRecorderState(const char *state, int64_t nextAttemptAtMs, const std::string &error)
{
    std::lock_guard<std::mutex> lk(m_StateMutex);
    m_Events.RecorderState(m_State, state, error);
    m_State = state;
    m_nNextAttemptAtMs = nextAttemptAtMs;
    if (!error.empty()) {
        m_LastError = error;
    }
}

void CRecorderLink::MeasureRates(int64_t now)
{
    for (Channel &c : m_Channels) {
        if (now - c.sampleAtMs < kRateSampleMs) {
            continue;
        }
        const HubCounts counts = c.hub->Counts();
        const double seconds = static_cast<double>(now - c.sampleAtMs) / 1000.0;
        std::lock_guard<std::mutex> lk(m_StateMutex);
        c.fps = c.sampleAtMs == 0 ? 0 : static_cast<double>(counts.frames - c.sample.frames) / seconds;
        c.kbit = c.sampleAtMs == 0 ? 0 : static_cast<double>(counts.bytes - c.sample.bytes) * 8.0 / 1000.0 / seconds;
        c.sample = counts;
        c.sampleAtMs = now;
    }
}

RecorderStatus CRecorderLink::Status() const
{
    const int64_t now = NowMs();
    const auto steadyNow = std::chrono::steady_clock::now();
    auto in = [now](int64_t at) { return at < 0 ? -1 : std::max<int64_t>(at - now, 0); };
    RecorderStatus r;
    r.name = m_Config.name;
    r.address = m_Config.host + ":" + std::to_string(m_Config.port);
    std::lock_guard<std::mutex> lk(m_StateMutex);
    r.state = m_State;
    r.nextAttemptInMs = in(m_nNextAttemptAtMs);
    r.logins = m_nLogins;
    r.sessionLosses = m_nSessionLosses;
    r.lastError = m_LastError;
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        const Channel &c = m_Channels[i];
        const HubCounts counts = c.hub->Counts();
        ChannelStatus s;
        s.channel = static_cast<int>(i);
        s.name = "Channel " + std::to_string(i + 1);
        s.linkState = c.state;
        s.state = ChannelState(r.state, c.state);
        s.nextAttemptInMs = in(c.nextAttemptAtMs);
        s.frames = counts.frames;
        s.bytes = counts.bytes;
        s.fps = c.fps;
        s.kbitPerSecond = c.kbit;
        s.clients = counts.readers;
        s.skips = counts.skips;
        s.reconnections = c.reconnections;
        s.keyframeAgeMs =
            counts.keyframes == 0
                ? -1
                : std::chrono::duration_cast<std::chrono::milliseconds>(steadyNow - counts.lastKeyframe).count();
        s.preload = m_Config.Preloaded(static_cast<int>(i));
        s.cacheFrames = counts.cacheUnits;
        s.cacheBytes = counts.cacheBytes;
        s.cacheState = counts.cacheState;
        s.lastError = c.lastError;
        const std::string path = "/" + m_Config.name + "/" + std::to_string(i);
        s.streamUrl = path + ".mp4";
        s.snapshotUrl = path + ".jpg";
        s.rtspPath = path;
        r.channels.push_back(std::move(s));
    }
    return r;
}

void CRecorderLink::PrintStats(int64_t now)
{
    const double seconds = static_cast<double>(std::max<int64_t>(now - m_nLastStatsMs, 1)) / 1000.0;
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        const HubCounts counts = m_Channels[i].hub->Counts();
        const HubCounts &last = m_LastCounts[i];
        if (counts.frames != last.frames || counts.clients > 0 || m_Channels[i].stream.load() != nullptr) {
            const std::string keyAge = counts.keyframes == 0
                                           ? "none yet"
                                           : std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                std::chrono::steady_clock::now() - counts.lastKeyframe)
                                                                .count()) +
                                                 " ms ago";
            Log("%s: stats channel %zu: frames %llu, bytes %llu, %.1f fps, %.0f kbit/s, clients %d, "
                "reconnections %llu, last keyframe %s",
                m_Where.c_str(), i, static_cast<unsigned long long>(counts.frames),
                static_cast<unsigned long long>(counts.bytes),
                static_cast<double>(counts.frames - last.frames) / seconds,
                static_cast<double>(counts.bytes - last.bytes) * 8.0 / 1000.0 / seconds, counts.clients,
                static_cast<unsigned long long>(m_Channels[i].reconnections), keyAge.c_str());
        }
        m_LastCounts[i] = counts;
    }
    m_nLastStatsMs = now;
}

// The library host.

namespace {

// The data callback is a plain function: it finds the host here.
std::atomic<CLibraryHost *> g_pHost{nullptr};

constexpr uint32_t kNoticeWaitMs = 200;
constexpr uint32_t kLastRoute = 0xFFFFFF;

}  // namespace

CLibraryHost::~CLibraryHost() { Stop(); }

bool CLibraryHost::Start(uint32_t replyTimeoutMs)
{
    if (KR_4100_Init() != 1) {
        return false;
    }
    m_bStarted = true;
    KR_4100_SetConnectTime(replyTimeoutMs);
    g_pHost = this;
    KR_4100_SetDVRMessCallBack(&CLibraryHost::OnMessage);
    m_bStop = false;
    m_Notices = std::thread([this] { NoticeLoop(); });
    return true;
}

void CLibraryHost::Stop()
{
    if (!m_bStarted) {
        return;
    }
    m_bStop = true;
    if (m_Notices.joinable()) {
        m_Notices.join();
    }
    KR_4100_SetDVRMessCallBack(nullptr);
    g_pHost = nullptr;
    KR_4100_Cleanup();
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Routes.clear();
    m_Sessions.clear();
    m_bStarted = false;
}

uint32_t CLibraryHost::Add(const std::shared_ptr<ILibraryClient> &client)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    // 16 million recorders started in one process before a number comes
    // round again: by then the old route is long gone.
    const uint32_t route = m_nNextRoute;
    m_nNextRoute = m_nNextRoute == kLastRoute ? 1 : m_nNextRoute + 1;
    m_Routes[route] = client;
    return route;
}

void CLibraryHost::Remove(uint32_t route)
{
    std::shared_ptr<ILibraryClient> last;  // released after the lock
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (auto it = m_Routes.find(route); it != m_Routes.end()) {
        last = std::move(it->second);
        m_Routes.erase(it);
    }
    std::erase_if(m_Sessions, [route](const auto &kv) { return kv.second == route; });
}

void CLibraryHost::SetSession(uint32_t route, void *hSession)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    std::erase_if(m_Sessions, [route](const auto &kv) { return kv.second == route; });
    if (hSession != nullptr) {
        m_Sessions[hSession] = route;
    }
}

std::shared_ptr<ILibraryClient> CLibraryHost::Find(uint32_t route)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const auto it = m_Routes.find(route);
    return it == m_Routes.end() ? nullptr : it->second;
}

void CLibraryHost::OnData(void *hStream, uint32_t type, const unsigned char *data, int32_t len, uint32_t user)
{
    CLibraryHost *host = g_pHost;
    if (host == nullptr) {
        return;
    }
    // The reference keeps the recorder alive while its frame is handled,
    // even if it is being removed meanwhile.
    if (const std::shared_ptr<ILibraryClient> client = host->Find(user >> 8)) {
        client->OnData(static_cast<int>(user & 0xFF), hStream, type, data, len);
    }
}

void CLibraryHost::OnMessage(uint32_t, void *hSession, const unsigned char *data, uint32_t len)
{
    CLibraryHost *host = g_pHost;
    if (host == nullptr) {
        return;
    }
    std::shared_ptr<ILibraryClient> client;
    {
        std::lock_guard<std::mutex> lk(host->m_Mutex);
        if (const auto it = host->m_Sessions.find(hSession); it != host->m_Sessions.end()) {
            if (const auto r = host->m_Routes.find(it->second); r != host->m_Routes.end()) {
                client = r->second;
            }
        }
    }
    if (client) {
        client->OnMessage(data, len);
    }
}

// The library posts its disconnect notice to one thread of the process: this
// one takes it and hands it to the recorder whose session it names.
void CLibraryHost::NoticeLoop()
{
    KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, static_cast<uint32_t>(::syscall(SYS_gettid)));
    while (!m_bStop) {
        DvrThreadMessage message{};
        if (KR_4100_GetThreadMessage(&message, kNoticeWaitMs) != 1 || message.message != KR_4100_DISCONNECT_MESSAGE) {
            continue;
        }
        std::shared_ptr<ILibraryClient> client;
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            if (const auto it = m_Sessions.find(message.hSession); it != m_Sessions.end()) {
                if (const auto r = m_Routes.find(it->second); r != m_Routes.end()) {
                    client = r->second;
                }
            }
        }
        if (client) {
            client->OnNotice();
        }
    }
    KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, 0);
}

}  // namespace kn::gateway
