#include "api/session_registry.h"

#include "core/handle_list.h"
#include "session/dvr_session.h"

namespace kn {

CSessionRegistry g_SessionList;

std::shared_ptr<CDvrSession> CSessionRegistry::FindSession(const void *handle) const
{
    platform::CLockGuard lock(m_Mutex);
    return FindByHandle(m_Sessions, handle);
}

std::shared_ptr<CDvrSession> CSessionRegistry::FindStreamOwner(const void *handle) const
{
    if (handle == nullptr) {
        return nullptr;
    }
    // Copy the list first: asking a session takes its own list lock, which
    // must never be taken under the registry's.
    std::vector<std::shared_ptr<CDvrSession>> sessions;
    {
        platform::CLockGuard lock(m_Mutex);
        sessions = m_Sessions;
    }
    for (const auto &session : sessions) {
        if (session->Streams().Owns(handle)) {
            return session;
        }
    }
    return nullptr;
}

std::shared_ptr<CDvrSession> CSessionRegistry::FindByAddress(uint32_t addressNetOrder, uint16_t port) const
{
    platform::CLockGuard lock(m_Mutex);
    for (const auto &session : m_Sessions) {
        if (session->Address() == addressNetOrder && session->Port() == port) {
            return session;
        }
    }
    return nullptr;
}

void CSessionRegistry::Append(std::shared_ptr<CDvrSession> session)
{
    platform::CLockGuard lock(m_Mutex);
    m_Sessions.push_back(std::move(session));
}

std::shared_ptr<CDvrSession> CSessionRegistry::Remove(const void *handle)
{
    platform::CLockGuard lock(m_Mutex);
    return TakeByHandle(m_Sessions, handle);
}

std::vector<std::shared_ptr<CDvrSession>> CSessionRegistry::TakeAll()
{
    platform::CLockGuard lock(m_Mutex);
    std::vector<std::shared_ptr<CDvrSession>> sessions;
    sessions.swap(m_Sessions);
    return sessions;
}

}  // namespace kn
