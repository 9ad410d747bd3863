#include "tools/programs/gateway/access/login_guard.h"

#include <algorithm>

namespace kn::gateway {

bool CLoginGuard::Refused(const std::string &address, Clock::time_point now)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const auto it = m_Records.find(address);
    if (it == m_Records.end() || now >= it->second.refusedUntil) {
        return false;
    }
    ++m_nRefusals;
    return true;
}

std::chrono::milliseconds CLoginGuard::Failed(const std::string &address, Clock::time_point now)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_Records.size() >= kMaxAddresses && m_Records.count(address) == 0) {
        Prune(now);
    }
    Record &r = m_Records[address];
    if (now - r.last > std::chrono::milliseconds(m_Numbers.windowMs)) {
        r.failures = 0;
    }
    r.last = now;
    ++r.failures;
    if (r.failures >= m_Numbers.refuseAfter) {
        r.refusedUntil = now + std::chrono::milliseconds(m_Numbers.refuseMs);
        r.failures = 0;
    }
    const int over = r.failures - m_Numbers.slowAfter;
    return std::chrono::milliseconds(over <= 0 ? 0 : std::min<int64_t>(m_Numbers.maxDelayMs, over * m_Numbers.delayMs));
}

void CLoginGuard::Succeeded(const std::string &address)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const auto it = m_Records.find(address);
    if (it != m_Records.end() && it->second.refusedUntil <= Clock::now()) {
        m_Records.erase(it);
    }
}

uint64_t CLoginGuard::Refusals() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_nRefusals;
}

void CLoginGuard::Prune(Clock::time_point now)
{
    // The records that no longer count go first, then the stalest.
    for (auto it = m_Records.begin(); it != m_Records.end();) {
        const bool stale =
            now - it->second.last > std::chrono::milliseconds(m_Numbers.windowMs) && now >= it->second.refusedUntil;
        it = stale ? m_Records.erase(it) : std::next(it);
    }
    while (m_Records.size() >= kMaxAddresses) {
        m_Records.erase(std::min_element(m_Records.begin(), m_Records.end(),
                                         [](const auto &a, const auto &b) { return a.second.last < b.second.last; }));
    }
}

bool CLoginGuard::Connect(const std::string &address)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    int &n = m_Connections[address];
    if (n >= m_Numbers.maxConnections) {
        if (n == 0) {
            m_Connections.erase(address);
        }
        return false;
    }
    ++n;
    return true;
}

void CLoginGuard::Disconnect(const std::string &address)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const auto it = m_Connections.find(address);
    if (it != m_Connections.end() && --it->second <= 0) {
        m_Connections.erase(it);
    }
}

}  // namespace kn::gateway
