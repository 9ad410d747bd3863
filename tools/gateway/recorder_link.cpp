#include "tools/gateway/recorder_link.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "api/exports.h"
#include "tools/gateway/gateway_log.h"

namespace kn::gateway {

namespace {

// The data callback carries a 32-bit user value only: the channel index,
// and the one link of the process here.
std::atomic<CRecorderLink *> g_pLink{nullptr};

constexpr int64_t kLongestWaitMs = 500;  // for the silence check of open streams
constexpr uint32_t kNoticeWaitMs = 500;
// A notice this recent makes the session suspect (the library repeats it
// every 200 ms while the command channel stays silent).
constexpr int64_t kNoticeFreshMs = 2000;

std::string Seconds(int64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CRecorderLink::CRecorderLink(const GatewayOptions &options, const std::vector<CChannelHub *> &hubs)
    : m_Options(options), m_Channels(hubs.size()), m_LoginBackoff(options.backoffMaxMs)
{
    for (size_t i = 0; i < hubs.size(); ++i) {
        m_Channels[i].hub = hubs[i];
        m_Channels[i].backoff = CBackoff(options.backoffMaxMs);
    }
    m_LastCounts.resize(hubs.size());
}

CRecorderLink::~CRecorderLink() { Stop(); }

bool CRecorderLink::Start()
{
    if (KR_4100_Init() != 1) {
        return false;
    }
    m_bStarted = true;
    KR_4100_SetConnectTime(m_Options.timeoutMs);
    g_pLink = this;
    m_nNextStatsMs = NowMs() + m_Options.statsMs;
    m_nLastStatsMs = NowMs();
    m_Notices = std::thread([this] { NoticeLoop(); });
    m_Supervisor = std::thread([this] { Run(); });
    return true;
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
    if (m_Notices.joinable()) {
        m_Notices.join();
    }
    g_pLink = nullptr;
    KR_4100_Cleanup();
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

void CRecorderLink::OnData(void *hStream, uint32_t type, const unsigned char *data, int32_t len, uint32_t user)
{
    CRecorderLink *link = g_pLink;
    if (link == nullptr || user >= link->m_Channels.size()) {
        return;
    }
    Channel &c = link->m_Channels[user];
    if (!c.accepting) {
        return;  // a stream already given up
    }
    void *current = c.stream.load();
    if (type == 255) {
        // Only the loss of this channel's current stream (or of the one
        // being opened) counts; a late notice of an old one does not.
        if (current == hStream || current == nullptr) {
            c.lost = true;
            link->Wake();
        }
        return;
    }
    if (current == hStream || current == nullptr) {
        c.hub->OnFrame(type, data, len);
    }
}

// The library posts its disconnect notice to a thread of ours: this one
// takes it and tells the supervisor.
void CRecorderLink::NoticeLoop()
{
    KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, static_cast<uint32_t>(::syscall(SYS_gettid)));
    while (!m_bStop) {
        DvrThreadMessage message{};
        if (KR_4100_GetThreadMessage(&message, kNoticeWaitMs) != 1) {
            continue;
        }
        if (message.message == KR_4100_DISCONNECT_MESSAGE && message.hSession != nullptr &&
            message.hSession == m_hSession.load()) {
            m_nLastNoticeMs = NowMs();
        }
    }
    KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, 0);
}

void CRecorderLink::Run()
{
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
        KR_4100_Logout(session);
        Log("logged out of %s:%u", m_Options.host.c_str(), static_cast<unsigned>(m_Options.port));
    }
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
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        Channel &c = m_Channels[i];
        const HubCounts counts = c.hub->Counts();
        // A client leaving wakes this thread, so the linger runs from the
        // moment the last one left.
        if (c.hadClients && counts.clients == 0) {
            c.lingerUntilMs = now + m_Options.lingerMs;
        }
        c.hadClients = counts.clients > 0;
        const bool wanted = counts.clients > 0 || now < c.lingerUntilMs;
        if (c.stream.load() != nullptr) {
            const auto sinceFrame = std::chrono::steady_clock::now() - counts.lastFrame;
            const bool silent = now - c.openedAtMs >= m_Options.idleMs &&
                                (counts.frames == c.framesAtOpen ||
                                 sinceFrame >= std::chrono::milliseconds(m_Options.idleMs));
            if ((c.lost || silent) && SessionSuspect(now)) {
                Log("channel %zu: stream lost (%s)", i, c.lost ? "the recorder closed it" : "no frames");
                DropSession(now, "the recorder connection is lost or silent");
            } else if (c.lost || silent) {
                Log("channel %zu: stream lost (%s)", i, c.lost ? "the recorder closed it" : "no frames");
                CloseStream(c);
                c.reopen = true;
                c.outageSinceMs = now;
                c.retryAtMs = now + c.backoff.Next();
                Log("channel %zu: reopening in %s", i, Seconds(c.retryAtMs - now).c_str());
            } else if (!wanted) {
                Log("channel %zu: stream closed, no client for %s", i, Seconds(m_Options.lingerMs).c_str());
                CloseStream(c);
                c.reopen = false;
                c.outageSinceMs = -1;
                c.backoff.Reset();
            } else if (!c.confirmed && counts.frames > c.framesAtOpen) {
                c.confirmed = true;
                c.backoff.Reset();
                m_LoginBackoff.Reset();
            }
        }
        if (c.stream.load() == nullptr && wanted) {
            if (m_hSession.load() != nullptr && now >= c.retryAtMs) {
                OpenStream(c, static_cast<int>(i), now);
            }
            if (c.stream.load() == nullptr) {
                if (c.outageSinceMs < 0 && c.reopen) {
                    c.outageSinceMs = now;
                }
                next = std::min(next, std::max(c.retryAtMs, now + 1));
            }
        }
        if (c.stream.load() == nullptr && c.outageSinceMs >= 0 && counts.clients > 0 &&
            now - c.outageSinceMs >= m_Options.giveUpMs) {
            Log("channel %zu: no stream for %s: ending the sessions of %d client(s)", i,
                Seconds(now - c.outageSinceMs).c_str(), counts.clients);
            c.hub->EndClients();
            c.outageSinceMs = -1;
            c.reopen = false;
            c.hadClients = false;  // no linger after this
            c.lingerUntilMs = 0;
        }
        if (!wanted) {
            c.outageSinceMs = -1;
        } else if (counts.clients == 0) {
            next = std::min(next, c.lingerUntilMs);
        }
    }
    if (m_Options.statsMs > 0) {
        if (now >= m_nNextStatsMs) {
            PrintStats(now);
            m_nNextStatsMs = now + m_Options.statsMs;
        }
        next = std::min(next, m_nNextStatsMs);
    }
    PublishState();
    return next;
}

void CRecorderLink::PublishState()
{
    std::lock_guard<std::mutex> lk(m_StateMutex);
    m_State.loggedIn = m_hSession.load() != nullptr;
    m_State.channels.resize(m_Channels.size());
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        const Channel &c = m_Channels[i];
        m_State.channels[i] = {c.stream.load() != nullptr, c.stream.load() == nullptr && c.outageSinceMs >= 0,
                               c.reconnections};
    }
}

LinkState CRecorderLink::State() const
{
    std::lock_guard<std::mutex> lk(m_StateMutex);
    return m_State;
}

bool CRecorderLink::SessionSuspect(int64_t now) const
{
    const int64_t notice = m_nLastNoticeMs.load();
    return notice >= 0 && now - notice < kNoticeFreshMs;
}

void CRecorderLink::Login(int64_t now)
{
    int32_t result = 0;
    void *session = KR_4100_Login(m_Options.host.c_str(), m_Options.port, m_Options.user.c_str(),
                                  m_Options.password.c_str(), &result);
    if (session == nullptr) {
        const int64_t delay = m_LoginBackoff.Next();
        m_nLoginAtMs = NowMs() + delay;
        Log("login to %s:%u as '%s' failed (unreachable, refused or no answer); retrying in %s",
            m_Options.host.c_str(), static_cast<unsigned>(m_Options.port), m_Options.user.c_str(),
            Seconds(delay).c_str());
        return;
    }
    m_hSession = session;
    m_nLastNoticeMs = -1;
    Log("%s %s:%u as '%s'", m_bEverLoggedIn ? "logged in again to" : "logged in to", m_Options.host.c_str(),
        static_cast<unsigned>(m_Options.port), m_Options.user.c_str());
    m_bEverLoggedIn = true;
    // Streams waiting on the session open at once.
    for (Channel &c : m_Channels) {
        c.retryAtMs = std::min(c.retryAtMs, now);
    }
}

void CRecorderLink::DropSession(int64_t now, const char *why)
{
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        Channel &c = m_Channels[i];
        if (c.stream.load() != nullptr) {
            CloseStream(c);
            c.reopen = true;
            c.outageSinceMs = now;
            Log("channel %zu: stream lost with the session", i);
        }
        c.retryAtMs = 0;
    }
    if (void *session = m_hSession.exchange(nullptr)) {
        KR_4100_Logout(session);
    }
    const int64_t delay = m_LoginBackoff.Next();
    m_nLoginAtMs = now + delay;
    Log("%s: logging in again in %s", why, Seconds(delay).c_str());
}

void CRecorderLink::CloseStream(Channel &c)
{
    c.accepting = false;
    if (void *stream = c.stream.exchange(nullptr)) {
        KR_4100_StopRealPlay(stream);
    }
    c.lost = false;
}

void CRecorderLink::OpenStream(Channel &c, int index, int64_t now)
{
    c.lost = false;
    c.framesAtOpen = c.hub->Counts().frames;
    c.confirmed = false;
    c.accepting = true;
    void *stream = KR_4100_RealPlay(m_hSession.load(), index, m_Options.transport, &CRecorderLink::OnData,
                                    static_cast<uint32_t>(index));
    if (stream == nullptr) {
        c.accepting = false;
        c.retryAtMs = NowMs() + c.backoff.Next();
        Log("channel %d: the recorder did not open the stream; retrying in %s", index,
            Seconds(c.retryAtMs - NowMs()).c_str());
        if (SessionSuspect(NowMs())) {
            DropSession(NowMs(), "the recorder connection is lost or silent");
        }
        return;
    }
    c.stream = stream;
    c.openedAtMs = NowMs();
    if (c.reopen) {
        ++c.reconnections;
        Log("channel %d: stream reopened after %s (reconnection %llu)", index,
            Seconds(now - (c.outageSinceMs >= 0 ? c.outageSinceMs : now)).c_str(),
            static_cast<unsigned long long>(c.reconnections));
    } else {
        Log("channel %d: stream opened (%s)", index, m_Options.transport == 1 ? "tcp" : "udp");
    }
    c.reopen = false;
    c.outageSinceMs = -1;
}

void CRecorderLink::PrintStats(int64_t now)
{
    const double seconds = std::max<int64_t>(now - m_nLastStatsMs, 1) / 1000.0;
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        const HubCounts counts = m_Channels[i].hub->Counts();
        const HubCounts &last = m_LastCounts[i];
        if (counts.frames != last.frames || counts.clients > 0 || m_Channels[i].stream.load() != nullptr) {
            Log("stats channel %zu: frames %llu, bytes %llu, %.1f fps, %.0f kbit/s, clients %d, reconnections %llu",
                i, static_cast<unsigned long long>(counts.frames), static_cast<unsigned long long>(counts.bytes),
                static_cast<double>(counts.frames - last.frames) / seconds,
                static_cast<double>(counts.bytes - last.bytes) * 8.0 / 1000.0 / seconds, counts.clients,
                static_cast<unsigned long long>(m_Channels[i].reconnections));
        }
        m_LastCounts[i] = counts;
    }
    m_nLastStatsMs = now;
}

}  // namespace kn::gateway
