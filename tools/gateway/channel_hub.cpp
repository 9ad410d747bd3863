#include "tools/gateway/channel_hub.h"

#include <algorithm>

namespace kn::gateway {

int CChannelHub::Add(const std::shared_ptr<IClientSink> &sink)
{
    int clients = 0;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Clients.push_back(Client{sink, false, false, {}});
        clients = static_cast<int>(m_Clients.size());
    }
    if (m_ClientsChanged) {
        m_ClientsChanged();
    }
    return clients;
}

bool CChannelHub::Remove(const IClientSink *sink, int &clientsLeft)
{
    std::shared_ptr<IClientSink> keep;  // released after the lock
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        const auto it =
            std::find_if(m_Clients.begin(), m_Clients.end(), [sink](const Client &c) { return c.sink.get() == sink; });
        clientsLeft = static_cast<int>(m_Clients.size());
        if (it == m_Clients.end()) {
            return false;
        }
        keep = std::move(it->sink);
        m_Clients.erase(it);
        clientsLeft = static_cast<int>(m_Clients.size());
    }
    if (m_ClientsChanged) {
        m_ClientsChanged();
    }
    return true;
}

void CChannelHub::OnFrame(uint32_t type, const uint8_t *data, int32_t len)
{
    const ByteSpan au = AccessUnitOfFrame(type, data, len);
    if (au.size == 0) {
        return;
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    ++m_Counts.frames;
    m_Counts.bytes += au.size;
    m_Counts.lastFrame = std::chrono::steady_clock::now();
    m_Sets.Learn(au);
    const bool keyframe = Summarise(au).idr;
    if (keyframe) {
        ++m_Counts.keyframes;
        m_Counts.lastKeyframe = m_Counts.lastFrame;
    }
    if (m_Clients.empty()) {
        return;
    }
    m_Sets.Complete(au, m_Unit);
    for (Client &c : m_Clients) {
        if (c.ended || (!c.started && !keyframe)) {
            continue;  // a client starts on a keyframe
        }
        const int64_t pts = c.clock.Stamp(c.sink->RunningTimeNs());
        // A client that could not take a unit has a gap: it waits for the
        // next keyframe rather than decode from a broken reference.
        c.started = c.sink->Push(m_Unit.data(), m_Unit.size(), pts);
    }
}

void CChannelHub::EndClients()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    for (Client &c : m_Clients) {
        c.sink->End();
        c.started = false;
        c.ended = true;
    }
}

int CChannelHub::EndWaiting()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    int answered = 0;
    for (Client &c : m_Clients) {
        if (!c.started && !c.ended) {
            c.sink->End();
            c.ended = true;
            ++answered;
        }
    }
    return answered;
}

HubCounts CChannelHub::Counts() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    HubCounts c = m_Counts;
    c.clients = static_cast<int>(m_Clients.size());
    c.waiting = static_cast<int>(
        std::count_if(m_Clients.begin(), m_Clients.end(), [](const Client &k) { return !k.started && !k.ended; }));
    return c;
}

}  // namespace kn::gateway
