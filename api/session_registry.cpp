#include "api/session_registry.h"

#include "core/handle_list.h"
#include "session/dvr_session.h"

namespace kn {

CSessionRegistry g_SessionList;

std::shared_ptr<CDvrSession> CSessionRegistry::FindSession(const void *handle) const
{
    platform::CLockGuard lock(m_mutex);
    return FindByHandle(m_sessions, handle);
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
        platform::CLockGuard lock(m_mutex);
        sessions = m_sessions;
    }
    for (const auto &session : sessions) {
        if (session->Streams().Owns(handle)) {
            return session;
        }
    }
    return nullptr;
}

std::shared_ptr<CDvrSession> CSessionRegistry::FindByAddress(uint32_t addressNetOrder,
                                                             uint16_t port) const
{
    platform::CLockGuard lock(m_mutex);
    for (const auto &session : m_sessions) {
        if (session->Address() == addressNetOrder && session->Port() == port) {
            return session;
        }
    }
    return nullptr;
}

void CSessionRegistry::Append(std::shared_ptr<CDvrSession> session)
{
    platform::CLockGuard lock(m_mutex);
    m_sessions.push_back(std::move(session));
}

std::shared_ptr<CDvrSession> CSessionRegistry::Remove(const void *handle)
{
    platform::CLockGuard lock(m_mutex);
    return TakeByHandle(m_sessions, handle);
}

std::vector<std::shared_ptr<CDvrSession>> CSessionRegistry::TakeAll()
{
    platform::CLockGuard lock(m_mutex);
    std::vector<std::shared_ptr<CDvrSession>> sessions;
    sessions.swap(m_sessions);
    return sessions;
}

}  // namespace kn
