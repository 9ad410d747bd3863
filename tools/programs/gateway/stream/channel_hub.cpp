#include "tools/programs/gateway/stream/channel_hub.h"

#include <algorithm>

#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

int CChannelHub::Add(const std::shared_ptr<IClientSink> &sink, bool startNow, StartPolicy policy)
{
    int clients = 0;
    std::string peer;
    size_t burst = 0;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        // A client that is not to have the cached group is no fresh one:
        // it waits for the next keyframe like one that fell behind.
        m_Clients.push_back(
            Client{sink, false, false, std::chrono::steady_clock::now(), policy == StartPolicy::CachedGroup, {}});
        if (const char *front = sink->Front()) {
            m_Clients.back().sent = &m_Sent[front];
        }
        clients = static_cast<int>(m_Clients.size());
        if (startNow) {
            TryStartFromCache(m_Clients.back(), false, peer, burst);
        }
    }
    LogBurst(peer, burst);
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

void CChannelHub::StartNow(const IClientSink *sink)
{
    std::string peer;
    size_t burst = 0;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        const auto it =
            std::find_if(m_Clients.begin(), m_Clients.end(), [sink](const Client &c) { return c.sink.get() == sink; });
        if (it != m_Clients.end() && !it->ended) {
            TryStartFromCache(*it, false, peer, burst);
        }
    }
    LogBurst(peer, burst);
}

void CChannelHub::OnFrame(uint32_t type, const uint8_t *data, int32_t len,
                          std::chrono::steady_clock::time_point arrival)
{
    const common::ByteSpan au = common::AccessUnitOfFrame(type, data, len);
    if (au.size == 0) {
        return;
    }
    std::vector<std::pair<std::string, size_t>> bursts;  // logged after the lock
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        ++m_Counts.frames;
        m_Counts.bytes += au.size;
        m_Counts.lastFrame = arrival;
        const common::UnitSummary summary = m_Sets.Learn(au);
        const bool keyframe = summary.idr;
        if (keyframe) {
            ++m_Counts.keyframes;
            m_Counts.lastKeyframe = m_Counts.lastFrame;
        }
        const std::shared_ptr<StreamUnit> made = m_Pool.Take();
        m_Sets.Complete(au, summary, made->bytes);
        made->keyframe = keyframe;
        made->arrivalNs = m_Timeline.Place(
            std::chrono::duration_cast<std::chrono::nanoseconds>(m_Counts.lastFrame.time_since_epoch()).count());
        const SharedUnit unit = made;
        // The cache ends with this unit; a keyframe without parameter sets
        // still to be learnt cannot start a group a client decodes.
        m_Cache.Add(unit, keyframe && m_Sets.Known());
        for (Client &c : m_Clients) {
            if (c.ended) {
                continue;
            }
            if (c.started) {
                // A client that could not take a unit has a gap: it starts
                // again from a keyframe rather than decode from a broken
                // reference.
                c.started = Send(c, unit, c.clock.Stamp(unit->arrivalNs, c.sink->RunningTimeNs()));
                if (!c.started && c.sink->Front() != nullptr) {
                    ++m_Skips[c.sink->Front()];
                }
            } else if (c.fresh && m_Cache.Units() > 0) {
                auto &[peer, units] = bursts.emplace_back();
                TryStartFromCache(c, true, peer, units);
            } else if (keyframe) {
                // No group to start with, or a client that fell behind: it
                // waits for a keyframe rather than get a group it has had.
                c.started = Send(c, unit, c.clock.Stamp(unit->arrivalNs, c.sink->RunningTimeNs()));
            }
            c.fresh = c.fresh && !c.started;
        }
    }
    for (const auto &[peer, units] : bursts) {
        LogBurst(peer, units);
    }
}

void CChannelHub::TryStartFromCache(Client &c, bool withLatest, std::string &peer, size_t &units)
{
    if (!c.fresh || m_Cache.Units() == 0) {
        return;
    }
    // One try: a client that could not take the whole group (its buffer
    // is smaller) waits for the next keyframe rather than take the group's
    // head again and again.
    c.started = StartFromCache(c);
    c.fresh = false;
    if (c.started) {
        // From the frame path, the group's last unit is the frame that just came.
        peer = c.sink->Peer();
        units = m_Cache.HeldUnits() - m_Cache.StartFor(c.sink->StartFrames()) - (withLatest ? 1 : 0);
    }
}

void CChannelHub::LogBurst(const std::string &peer, size_t units) const
{
    if (units > 0) {
        Log("%s%schannel %d: client %s started with %zu cached frame%s, a keyframe first", m_Recorder.c_str(),
            m_Recorder.empty() ? "" : ": ", m_nChannel, peer.c_str(), units, units == 1 ? "" : "s");
    }
}

bool CChannelHub::StartFromCache(Client &c)
{
    // All at once, each at its true time on the client's timeline: the
    // client shows the keyframe at once, and what it records of the group
    // lasts as long as the group did.
    const int64_t now = c.sink->RunningTimeNs();
    for (size_t i = m_Cache.StartFor(c.sink->StartFrames()); i < m_Cache.HeldUnits(); ++i) {
        const SharedUnit &unit = m_Cache.SharedHeld(i);
        if (!Send(c, unit, c.clock.Stamp(unit->arrivalNs, now))) {
            return false;
        }
    }
    return true;
}

bool CChannelHub::Send(Client &c, const SharedUnit &unit, const FrameTimes &times)
{
    const bool taken = c.sink->PushTimed(unit, times);
    if (taken && c.sent != nullptr) {
        *c.sent += unit->bytes.size();
    }
    return taken;
}

void CChannelHub::StreamEnded()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Cache.Clear();
    m_Pool.Release();
    m_Timeline.Restart();
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

int CChannelHub::EndStale(std::chrono::steady_clock::time_point now, std::chrono::milliseconds patience)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_Counts.lastFrame > now - patience) {
        return 0;  // frames flow: a client waits for its keyframe
    }
    int answered = 0;
    for (Client &c : m_Clients) {
        if (!c.started && !c.ended && c.joined <= now - patience) {
            c.sink->End();
            c.ended = true;
            ++answered;
        }
    }
    return answered;
}

bool CChannelHub::CopyCachedGroup(std::vector<std::vector<uint8_t>> &units) const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    units.clear();
    for (size_t i = 0; i < m_Cache.Units(); ++i) {
        const common::ByteSpan u = m_Cache.Unit(i);
        units.emplace_back(u.data, u.data + u.size);
    }
    return !units.empty();
}

HubCounts CChannelHub::Counts() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    HubCounts c = m_Counts;
    c.clients = static_cast<int>(m_Clients.size());
    for (const Client &k : m_Clients) {
        if (const char *front = k.sink->Front()) {
            ++c.readers[front];
        }
    }
    c.skips = m_Skips;
    c.sentBytes = m_Sent;
    // The mean round trip and jitter, and the worst loss, of the clients
    // that reported.
    for (const Client &k : m_Clients) {
        IClientSink::LinkReport r;
        const char *front = k.sink->Front();
        if (front == nullptr || !k.sink->Report(r)) {
            continue;
        }
        LinkReports &sum = c.reports[front];
        const double n = ++sum.clients;
        sum.roundTripMs = sum.clients == 1 ? r.roundTripMs : sum.roundTripMs + (r.roundTripMs - sum.roundTripMs) / n;
        sum.jitterMs = sum.clients == 1 ? r.jitterMs : sum.jitterMs + (r.jitterMs - sum.jitterMs) / n;
        sum.fractionLost = std::max(sum.fractionLost, r.fractionLost);
    }
    c.cacheUnits = m_Cache.Units();
    c.cacheBytes = m_Cache.Bytes();
    c.cacheState = m_Cache.StatusText();
    c.waiting = static_cast<int>(
        std::count_if(m_Clients.begin(), m_Clients.end(), [](const Client &k) { return !k.started && !k.ended; }));
    return c;
}

}  // namespace kn::gateway
