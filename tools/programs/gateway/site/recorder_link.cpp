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
constexpr int64_t kRateSampleMs = 1000;
// Checks of the session (a request on it) at most this often: a recorder
// that never answers keep-alives has the library repeat its notice every
// 200 ms, and a loss among them is found within this and a reply time-out.
constexpr int64_t kCheckSpacingMs = 1000;
// While the link waits to log in again, it looks at the recorder this often
// and logs in as soon as the recorder takes connections, whatever the
// backoff has grown to.
constexpr int64_t kLookSpacingMs = 1500;
// A session handed to the archive to log out is waited for this often.
constexpr int64_t kHandedOverPollMs = 100;

std::string Seconds(int64_t ms) { return common::Seconds(static_cast<double>(ms) / 1000.0); }

}  // namespace

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CRecorderLink::CRecorderLink(const RecorderConfig &config, CLibraryHost &library, int64_t statsMs)
    : m_Config(config),
      m_Live(config),
      m_nChannels(config.channels),
      m_Library(library),
      m_nStatsMs(statsMs),
      m_Where(config.name),
      m_pArchive(std::make_shared<CArchiveGate>(config.name, config.channels, library)),
      m_Channels(static_cast<size_t>(kMaxChannels)),
      m_Probe(config.host, config.port),
      m_LoginBackoff(config.backoffMaxMs),
      m_Events(config.name, config.channels, config.events, library.Events())
{
    for (Channel &c : m_Channels) {
        c.m_Backoff = common::CBackoff(config.backoffMaxMs);
    }
    for (int i = 0; i < std::min(config.channels, kMaxChannels); ++i) {
        MakeHub(i);
    }
    m_LastCounts.resize(m_Channels.size());
}

void CRecorderLink::MakeHub(int channel)
{
    std::lock_guard<std::mutex> lk(m_HubsMutex);
    while (m_Hubs.size() <= static_cast<size_t>(channel)) {
        const int i = static_cast<int>(m_Hubs.size());
        m_Hubs.push_back(std::make_shared<CChannelHub>(i, m_Config.name));
        m_Channels[static_cast<size_t>(i)].m_pHub = m_Hubs.back();
        if (m_bStarted) {
            WatchClients(m_Hubs.back());
        }
    }
}

RecorderConfig CRecorderLink::Config() const
{
    std::lock_guard<std::mutex> lk(m_ConfigMutex);
    return m_Config;
}

std::vector<std::shared_ptr<CChannelHub>> CRecorderLink::Hubs() const
{
    std::lock_guard<std::mutex> lk(m_HubsMutex);
    const size_t served = std::min(m_Hubs.size(), static_cast<size_t>(m_nChannels.load()));
    return {m_Hubs.begin(), m_Hubs.begin() + static_cast<std::ptrdiff_t>(served)};
}

std::shared_ptr<CChannelHub> CRecorderLink::Hub(int channel) const
{
    std::lock_guard<std::mutex> lk(m_HubsMutex);
    if (channel < 0 || channel >= m_nChannels.load() || static_cast<size_t>(channel) >= m_Hubs.size()) {
        return nullptr;
    }
    return m_Hubs[static_cast<size_t>(channel)];
}

void CRecorderLink::Reconfigure(const RecorderConfig &next)
{
    const int channels = std::clamp(next.channels, 1, kMaxChannels);
    for (int i = 0; i < channels; ++i) {
        MakeHub(i);
    }
    {
        std::lock_guard<std::mutex> lk(m_ConfigMutex);
        m_Config.channels = channels;
        m_Config.lingerMs = next.lingerMs;
        m_Config.idleMs = next.idleMs;
        m_Config.giveUpMs = next.giveUpMs;
        m_Config.backoffMaxMs = next.backoffMaxMs;
        m_Config.preloadAll = next.preloadAll;
        m_Config.preload = next.preload;
        m_Config.events = next.events;
    }
    m_pArchive->SetChannels(channels);
    m_Events.Reconfigure(channels, next.events);
    m_nChannels = channels;
    ++m_nConfigVersion;
    Wake();
}

// On the supervisor: a reload's configuration, once it has come.
void CRecorderLink::TakeConfig()
{
    if (m_nConfigVersion.load() == m_nLiveVersion) {
        return;
    }
    const int before = m_Live.channels;
    {
        std::lock_guard<std::mutex> lk(m_ConfigMutex);
        m_Live = m_Config;
        m_nLiveVersion = m_nConfigVersion.load();
    }
    for (int i = m_Live.channels; i < before; ++i) {
        RetireChannel(static_cast<size_t>(i));
    }
    // A retry or a linger already set keeps its time; the next ones are
    // reckoned with the new values.
    for (Channel &c : m_Channels) {
        c.m_Backoff.SetCeiling(m_Live.backoffMaxMs);
    }
    m_LoginBackoff.SetCeiling(m_Live.backoffMaxMs);
}

// A channel a reload removed: its stream is closed and its clients ended.
void CRecorderLink::RetireChannel(size_t i)
{
    Channel &c = m_Channels[i];
    if (c.m_pHub == nullptr) {
        return;
    }
    if (c.m_hStream.load() != nullptr) {
        CloseStream(c);
        Log("%s: channel %zu: stream closed, the channel is no longer served", m_Where.c_str(), i);
    }
    c.m_pHub->EndClients();
    c.m_bReopen = false;
    c.m_bHadClients = false;
    c.m_nLingerUntilMs = 0;
    c.m_nOutageSinceMs = -1;
    c.m_nRetryAtMs = 0;
    c.m_Backoff.Reset();
    SetChannelState(c, "idle", -1);
}

CRecorderLink::~CRecorderLink() { Stop(); }

void CRecorderLink::Start(std::vector<std::shared_ptr<std::atomic<bool>>> before)
{
    m_Before = std::move(before);
    // The hubs outlive this link when clients are still attached: they
    // hold it weakly.
    {
        std::lock_guard<std::mutex> lk(m_HubsMutex);
        for (const auto &hub : m_Hubs) {
            WatchClients(hub);
        }
        m_bStarted = true;
    }
    m_nRoute = m_Library.Add(shared_from_this());
    m_nNextStatsMs = NowMs() + m_nStatsMs;
    m_nLastStatsMs = NowMs();
    m_Supervisor = std::thread([this] { Run(); });
}

void CRecorderLink::WatchClients(const std::shared_ptr<CChannelHub> &hub)
{
    std::weak_ptr<CRecorderLink> weak = weak_from_this();
    hub->SetClientsChanged([weak] {
        if (const auto link = weak.lock()) {
            link->Wake();
        }
    });
}

void CRecorderLink::Stop()
{
    if (!m_bStarted) {
        return;
    }
    m_bStop = true;
    m_pArchive->Shutdown();  // the searches still queued are answered now
    Wake();
    if (m_Supervisor.joinable()) {
        m_Supervisor.join();
    }
    m_Library.Remove(m_nRoute);
    std::vector<std::shared_ptr<CChannelHub>> hubs;
    {
        std::lock_guard<std::mutex> lk(m_HubsMutex);
        hubs = m_Hubs;
        m_bStarted = false;
    }
    for (const auto &hub : hubs) {
        hub->EndClients();
    }
    SetRecorderState("stopped", -1);
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
    if (!c.m_bAccepting) {
        return;  // a stream already given up
    }
    void *current = c.m_hStream.load();
    if (type == 255) {
        // Only the loss of this channel's current stream (or of the one
        // being opened) counts; a late notice of an old one does not.
        if (current == hStream || current == nullptr) {
            c.m_bLost = true;
            Wake();
        }
        return;
    }
    if (current == hStream || current == nullptr) {
        c.m_pHub->OnFrame(type, data, len);
    }
}

void CRecorderLink::OnNotice()
{
    m_nLastNoticeMs = NowMs();
    Wake();
}

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
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        if (m_Channels[i].m_pHub != nullptr) {
            CloseStream(m_Channels[i]);
        }
    }
    if (void *session = m_hSession.exchange(nullptr)) {
        m_Library.SetSession(m_nRoute, nullptr);
        bool logoutNow = true;
        const auto archiveClosed = m_pArchive->Closing(logoutNow);
        if (logoutNow) {
            KR_4100_Logout(session);
            Log("%s: logged out of %s:%u", m_Where.c_str(), m_Config.host.c_str(),
                static_cast<unsigned>(m_Config.port));
        } else {
            // A search is waiting for the recorder: a stop does not wait
            // for it; the archive logs out when its request returns.
            Log("%s: left the session of %s:%u to the search under way", m_Where.c_str(), m_Config.host.c_str(),
                static_cast<unsigned>(m_Config.port));
        }
    }
}

bool CRecorderLink::Wanted(const Channel &c, int index, int clients, int64_t now) const
{
    return clients > 0 || now < c.m_nLingerUntilMs || m_Live.Preloaded(index);
}

size_t CRecorderLink::Served() const { return static_cast<size_t>(m_Live.channels); }

int64_t CRecorderLink::Step(int64_t now)
{
    TakeConfig();
    int64_t next = now + kLongestWaitMs;
    if (m_hSession.load() == nullptr) {
        if (now < m_nLoginAtMs) {
            LookWhileWaiting(now);
        }
        if (now >= m_nLoginAtMs) {
            Login(now);
        }
        next = std::min(next, m_hSession.load() == nullptr ? std::min(m_nLoginAtMs, m_nNextLookMs) : next);
    } else {
        CheckSessionOnEvidence(now);
        if (m_bSearchUnanswered || m_nLastNoticeMs.load() > m_nNoticeCheckedMs) {
            next = std::min(next, std::max(m_nNextCheckMs, now + 1));
        }
    }
    bool trouble = false;
    for (size_t i = 0; i < Served(); ++i) {
        StepChannel(i, now, trouble, next);
    }
    // A channel in trouble: is the recorder there at all?
    if (trouble) {
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
    const HubCounts counts = c.m_pHub->Counts();
    // A client leaving wakes this thread, so the linger runs from the
    // moment the last one left.
    if (c.m_bHadClients && counts.clients == 0) {
        // Only a stream that plays is worth keeping: a refused one is not.
        c.m_nLingerUntilMs = c.m_hStream.load() != nullptr && c.m_bConfirmed ? now + m_Live.lingerMs : 0;
        c.m_nNoClientSinceMs = now;
    } else if (counts.clients > 0) {
        c.m_nNoClientSinceMs = -1;
    }
    c.m_bHadClients = counts.clients > 0;
    const bool wanted = Wanted(c, static_cast<int>(i), counts.clients, now);
    if (c.m_hStream.load() != nullptr) {
        const auto sinceFrame = std::chrono::steady_clock::now() - counts.lastFrame;
        const bool silent =
            now - c.m_nOpenedAtMs >= m_Live.idleMs &&
            (counts.frames == c.m_nFramesAtOpen || sinceFrame >= std::chrono::milliseconds(m_Live.idleMs));
        if (c.m_bLost || silent) {
            const bool refused = !c.m_bConfirmed && counts.frames == c.m_nFramesAtOpen;
            const std::string why =
                c.m_bLost ? (refused ? "the recorder closed it before any frame (refused)" : "the recorder closed it")
                          : "no frames for " + Seconds(m_Live.idleMs);
            Log("%s: channel %zu: stream lost (%s)", m_Where.c_str(), i, why.c_str());
            CloseStream(c);
            c.m_bReopen = true;
            c.m_nOutageSinceMs = c.m_nOutageSinceMs >= 0 ? c.m_nOutageSinceMs : now;
            ChannelTrouble(i, now, why);
            trouble = true;
        } else if (!wanted) {
            const std::string since = c.m_nNoClientSinceMs >= 0
                                          ? "its last client left " + Seconds(now - c.m_nNoClientSinceMs) + " ago"
                                          : "no client and not preloaded";
            Log("%s: channel %zu: stream closed, %s", m_Where.c_str(), i, since.c_str());
            CloseStream(c);
            c.m_bReopen = false;
            c.m_nOutageSinceMs = -1;
            c.m_Backoff.Reset();
            SetChannelState(c, "idle", -1);
        } else if (!c.m_bConfirmed && counts.frames > c.m_nFramesAtOpen) {
            c.m_bConfirmed = true;
            c.m_Backoff.Reset();
            m_LoginBackoff.Reset();
            SetChannelState(c, "playing", -1);
        }
    }
    if (c.m_hStream.load() == nullptr && wanted) {
        if (m_hSession.load() != nullptr && now >= c.m_nRetryAtMs) {
            OpenStream(i, now);
            trouble = trouble || c.m_hStream.load() == nullptr;
        } else if (m_hSession.load() == nullptr && m_bLoginFailed && counts.waiting > 0) {
            // The recorder cannot be reached now: a client asking is told
            // at once rather than left waiting for the next login.
            c.m_pHub->EndWaiting();
        } else if (m_hSession.load() != nullptr && counts.waiting > 0) {
            c.m_pHub->EndWaiting();  // the channel is backing off after a refusal
        }
        if (c.m_hStream.load() == nullptr) {
            if (c.m_nOutageSinceMs < 0 && c.m_bReopen) {
                c.m_nOutageSinceMs = now;
            }
            if (m_hSession.load() == nullptr) {
                SetChannelState(c, "waiting", -1);
            }
            next = std::min(next, std::max(c.m_nRetryAtMs, now + 1));
        }
    } else if (c.m_hStream.load() == nullptr && !wanted && c.m_bReopen) {
        c.m_bReopen = false;
        c.m_Backoff.Reset();
        SetChannelState(c, "idle", -1);
    }
    if (c.m_hStream.load() == nullptr && c.m_nOutageSinceMs >= 0 && counts.clients > 0 &&
        now - c.m_nOutageSinceMs >= m_Live.giveUpMs) {
        Log("%s: channel %zu: no stream for %s: ending the sessions of %d client(s)", m_Where.c_str(), i,
            Seconds(now - c.m_nOutageSinceMs).c_str(), counts.clients);
        c.m_pHub->EndClients();
        c.m_nOutageSinceMs = -1;
        c.m_bReopen = false;
        c.m_bHadClients = false;  // no linger after this
        c.m_nLingerUntilMs = 0;
    }
    if (!wanted) {
        c.m_nOutageSinceMs = -1;
    } else if (counts.clients == 0 && c.m_nLingerUntilMs > now) {
        next = std::min(next, c.m_nLingerUntilMs);
    }
}

// A channel refused, lost or silent: it backs off alone, and the clients
// still waiting for its first frame get their answer now.
void CRecorderLink::ChannelTrouble(size_t i, int64_t now, const std::string &why)
{
    Channel &c = m_Channels[i];
    c.m_nRetryAtMs = now + c.m_Backoff.Next();
    const int answered = c.m_pHub->EndWaiting();
    Log("%s: channel %zu: reopening in %s%s", m_Where.c_str(), i, Seconds(c.m_nRetryAtMs - now).c_str(),
        answered > 0 ? (", " + std::to_string(answered) + " waiting client(s) answered").c_str() : "");
    SetChannelState(c, "retrying", c.m_nRetryAtMs, why);
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

// The library's disconnect notice, or a search that went unanswered: the
// session itself is asked, with a request that needs it. The command
// channel's loss shows nowhere else while video flows (a new connection to
// the recorder is taken all the same): unanswered, the session is lost and
// the link logs in again at once.
void CRecorderLink::CheckSessionOnEvidence(int64_t now)
{
    const int64_t notice = m_nLastNoticeMs.load();
    // (The library repeats its notice every 200 ms while the command
    // channel is merely silent: the checks are spaced.)
    const bool noticed = notice >= 0 && notice > m_nNoticeCheckedMs;
    m_bSearchUnanswered = m_bSearchUnanswered || m_pArchive->TakeUnansweredSearch();
    if (!(noticed || m_bSearchUnanswered) || now < m_nNextCheckMs) {
        return;
    }
    const CArchiveGate::SessionCheck check = m_pArchive->CheckSession();
    if (check == CArchiveGate::SessionCheck::Busy) {
        return;  // a search holds the slot: the check has the next turn
    }
    m_nNoticeCheckedMs = notice;
    m_bSearchUnanswered = false;
    m_nNextCheckMs = NowMs() + kCheckSpacingMs;
    if (check != CArchiveGate::SessionCheck::Unanswered) {
        return;
    }
    // The session is lost: with the recorder, or the recorder is still
    // there and is asked again at once.
    std::string reason;
    if (!common::ProbeRecorder(m_Config.host, m_Config.port, reason)) {
        DropSession(NowMs(), "the recorder is lost: a new connection failed: " + reason);
        return;
    }
    DropSession(
        NowMs(),
        std::string(noticed ? "the recorder closed the session's command channel" : "the session stopped answering") +
            ": a request on the session went unanswered",
        true);
}

// Waiting to log in again: a recorder that takes connections is logged in
// to at once, however long the backoff has grown.
void CRecorderLink::LookWhileWaiting(int64_t now)
{
    if (now < m_nNextLookMs) {
        return;
    }
    std::string reason;
    const bool alive = common::ProbeRecorder(m_Config.host, m_Config.port, reason);
    m_nNextLookMs = NowMs() + kLookSpacingMs;
    if (alive) {
        Log("%s: the recorder takes connections again: logging in now", m_Where.c_str());
        m_nLoginAtMs = now;
    }
}

void CRecorderLink::Login(int64_t now)
{
    if (m_pArchive->LogoutPending()) {
        // The old session is still being logged out after its search.
        m_nLoginAtMs = now + kHandedOverPollMs;
        return;
    }
    int32_t result = 0;
    void *session =
        KR_4100_Login(m_Config.host.c_str(), m_Config.port, m_Config.user.c_str(), m_Config.password.c_str(), &result);
    if (session == nullptr) {
        const int64_t delay = m_LoginBackoff.Next();
        m_nLoginAtMs = NowMs() + delay;
        m_nNextLookMs = NowMs() + kLookSpacingMs;
        m_bLoginFailed = true;
        const std::string why = "login to " + m_Config.host + ":" + std::to_string(m_Config.port) + " as '" +
                                m_Config.user + "' failed (unreachable, refused or no answer)";
        Log("%s: %s; retrying in %s", m_Where.c_str(), why.c_str(), Seconds(delay).c_str());
        SetRecorderState("reconnecting", m_nLoginAtMs, why);
        for (size_t i = 0; i < Served(); ++i) {
            m_Channels[i].m_pHub->EndWaiting();
        }
        return;
    }
    m_hSession = session;
    m_pArchive->LoggedIn(session);
    m_bLoginFailed = false;
    m_nLastNoticeMs = -1;
    m_nNoticeCheckedMs = -1;
    m_bSearchUnanswered = false;
    m_pArchive->TakeUnansweredSearch();
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
        c.m_nRetryAtMs = std::min(c.m_nRetryAtMs, now);
    }
}

void CRecorderLink::DropSession(int64_t now, const std::string &why, bool atOnce)
{
    for (size_t i = 0; i < Served(); ++i) {
        Channel &c = m_Channels[i];
        if (c.m_hStream.load() != nullptr) {
            CloseStream(c);
            c.m_bReopen = true;
            c.m_nOutageSinceMs = now;
            Log("%s: channel %zu: stream lost with the session", m_Where.c_str(), i);
        }
        c.m_nRetryAtMs = 0;
        c.m_pHub->EndWaiting();
    }
    if (void *session = m_hSession.exchange(nullptr)) {
        m_Library.SetSession(m_nRoute, nullptr);
        bool logoutNow = true;
        const auto archiveClosed = m_pArchive->Closing(logoutNow);
        if (logoutNow) {
            KR_4100_Logout(session);
        }
    }
    // A recorder that still takes connections is asked again at once.
    const int64_t delay = atOnce ? 0 : m_LoginBackoff.Next();
    m_nLoginAtMs = now + delay;
    m_nNextLookMs = now + kLookSpacingMs;
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
    c.m_bAccepting = false;
    if (void *stream = c.m_hStream.exchange(nullptr)) {
        KR_4100_StopRealPlay(stream);
    }
    c.m_pHub->StreamEnded();
    c.m_bLost = false;
}

void CRecorderLink::OpenStream(size_t i, int64_t now)
{
    Channel &c = m_Channels[i];
    c.m_bLost = false;
    c.m_nFramesAtOpen = c.m_pHub->Counts().frames;
    c.m_bConfirmed = false;
    c.m_bAccepting = true;
    SetChannelState(c, "opening", -1);
    void *stream = KR_4100_RealPlay(m_hSession.load(), static_cast<int>(i), m_Config.transport, &CLibraryHost::OnData,
                                    CLibraryHost::UserValue(m_nRoute, static_cast<int>(i)));
    if (stream == nullptr) {
        c.m_bAccepting = false;
        Log("%s: channel %zu: the recorder did not open the stream", m_Where.c_str(), i);
        ChannelTrouble(i, NowMs(), "the recorder did not open the stream");
        return;
    }
    c.m_hStream = stream;
    c.m_nOpenedAtMs = NowMs();
    if (c.m_bReopen) {
        std::lock_guard<std::mutex> lk(m_StateMutex);
        ++c.m_nReconnections;
        Log("%s: channel %zu: stream reopened after %s (reconnection %llu)", m_Where.c_str(), i,
            Seconds(now - (c.m_nOutageSinceMs >= 0 ? c.m_nOutageSinceMs : now)).c_str(),
            static_cast<unsigned long long>(c.m_nReconnections));
    } else {
        Log("%s: channel %zu: stream opened (%s)", m_Where.c_str(), i, m_Config.transport == 1 ? "tcp" : "udp");
    }
    c.m_bReopen = false;
    c.m_nOutageSinceMs = -1;
}

void CRecorderLink::SetChannelState(Channel &c, const char *state, int64_t nextAttemptAtMs, const std::string &error)
{
    std::lock_guard<std::mutex> lk(m_StateMutex);
    m_Events.ChannelState(static_cast<int>(&c - m_Channels.data()), c.m_State, state, error);
    c.m_State = state;
    c.m_nNextAttemptAtMs = nextAttemptAtMs;
    if (!error.empty()) {
        c.m_LastError = error;
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
    for (size_t i = 0; i < Served(); ++i) {
        Channel &c = m_Channels[i];
        if (now - c.m_nSampleAtMs < kRateSampleMs) {
            continue;
        }
        const HubCounts counts = c.m_pHub->Counts();
        const double seconds = static_cast<double>(now - c.m_nSampleAtMs) / 1000.0;
        std::lock_guard<std::mutex> lk(m_StateMutex);
        c.m_Fps = c.m_nSampleAtMs == 0 ? 0 : static_cast<double>(counts.frames - c.m_Sample.frames) / seconds;
        c.m_Kbit =
            c.m_nSampleAtMs == 0 ? 0 : static_cast<double>(counts.bytes - c.m_Sample.bytes) * 8.0 / 1000.0 / seconds;
        c.m_Sample = counts;
        c.m_nSampleAtMs = now;
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
    std::vector<bool> preloaded(m_Channels.size());
    {
        std::lock_guard<std::mutex> lk(m_ConfigMutex);
        for (size_t i = 0; i < preloaded.size(); ++i) {
            preloaded[i] = m_Config.Preloaded(static_cast<int>(i));
        }
    }
    const std::vector<std::shared_ptr<CChannelHub>> hubs = Hubs();
    std::lock_guard<std::mutex> lk(m_StateMutex);
    r.state = m_State;
    r.nextAttemptInMs = in(m_nNextAttemptAtMs);
    r.logins = m_nLogins;
    r.sessionLosses = m_nSessionLosses;
    r.lastError = m_LastError;
    for (size_t i = 0; i < hubs.size(); ++i) {
        const Channel &c = m_Channels[i];
        const HubCounts counts = hubs[i]->Counts();
        ChannelStatus s;
        s.channel = static_cast<int>(i);
        s.name = "Channel " + std::to_string(i + 1);
        s.linkState = c.m_State;
        s.state = ChannelState(r.state, c.m_State);
        s.nextAttemptInMs = in(c.m_nNextAttemptAtMs);
        s.frames = counts.frames;
        s.bytes = counts.bytes;
        s.fps = c.m_Fps;
        s.kbitPerSecond = c.m_Kbit;
        s.clients = counts.readers;
        s.skips = counts.skips;
        s.sentBytes = counts.sentBytes;
        s.reports = counts.reports;
        s.reconnections = c.m_nReconnections;
        s.keyframeAgeMs =
            counts.keyframes == 0
                ? -1
                : std::chrono::duration_cast<std::chrono::milliseconds>(steadyNow - counts.lastKeyframe).count();
        s.preload = preloaded[i];
        s.cacheFrames = counts.cacheUnits;
        s.cacheBytes = counts.cacheBytes;
        s.cacheState = counts.cacheState;
        s.lastError = c.m_LastError;
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
    for (size_t i = 0; i < Served(); ++i) {
        const HubCounts counts = m_Channels[i].m_pHub->Counts();
        const HubCounts &last = m_LastCounts[i];
        if (counts.frames != last.frames || counts.clients > 0 || m_Channels[i].m_hStream.load() != nullptr) {
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
                static_cast<unsigned long long>(m_Channels[i].m_nReconnections), keyAge.c_str());
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

bool CLibraryHost::Stop()
{
    if (!m_bStarted) {
        return true;
    }
    m_bStop = true;
    if (m_Notices.joinable()) {
        m_Notices.join();
    }
    KR_4100_SetDVRMessCallBack(nullptr);
    g_pHost = nullptr;
    // The library takes no logout beside a request of the same session, and
    // a shutdown does not wait for a recorder's answer.
    const bool clean = m_nRequests == 0;
    if (clean) {
        KR_4100_Cleanup();
    } else {
        Log("leaving %d request(s) of the recorders unanswered", m_nRequests.load());
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Routes.clear();
    m_Sessions.clear();
    m_bStarted = false;
    return clean;
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
