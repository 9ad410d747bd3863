#include "tools/programs/gateway/library_host.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "api/exports.h"

namespace kn::gateway {

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
