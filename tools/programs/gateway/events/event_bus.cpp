#include "tools/programs/gateway/events/event_bus.h"

#include <algorithm>
#include <utility>

namespace kn::gateway {

CEventQueue::CEventQueue(EventFilter filter, size_t capacity, std::function<void()> wake)
    : m_Filter(std::move(filter)), m_nCapacity(std::max<size_t>(capacity, 1)), m_Wake(std::move(wake))
{}

void CEventQueue::Push(const Event &event)
{
    if (!m_Filter.Wants(event)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_Events.size() >= m_nCapacity) {
            ++m_nDropped;
            return;
        }
        m_Events.push_back(event);
    }
    m_Cond.notify_one();
    if (m_Wake) {
        m_Wake();
    }
}

bool CEventQueue::Wait(Event &event, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lk(m_Mutex);
    m_Cond.wait_for(lk, timeout, [this] { return !m_Events.empty() || m_bPoked; });
    m_bPoked = false;
    if (m_Events.empty()) {
        return false;
    }
    event = std::move(m_Events.front());
    m_Events.pop_front();
    return true;
}

std::deque<Event> CEventQueue::Take()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return std::exchange(m_Events, {});
}

void CEventQueue::Poke()
{
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bPoked = true;
    }
    m_Cond.notify_all();
}

uint64_t CEventQueue::Dropped() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_nDropped;
}

CEventBus::CEventBus(size_t window) : m_nWindow(std::max<size_t>(window, 1)) {}

uint64_t CEventBus::Publish(Event event)
{
    event.unixMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    // Under the one lock, so that every queue sees the events in the order
    // of their ids and a replay joins the live events without a gap. A
    // queue's push never waits.
    std::lock_guard<std::mutex> lk(m_Mutex);
    event.id = ++m_nLastId;
    for (const auto &q : m_Queues) {
        q->Push(event);
    }
    if (m_Window.size() >= m_nWindow) {
        m_Window.pop_front();
    }
    m_Window.push_back(std::move(event));
    return m_nLastId;
}

std::shared_ptr<CEventQueue> CEventBus::Subscribe(const EventFilter &filter, size_t capacity,
                                                  std::function<void()> wake, std::optional<uint64_t> replayAfter)
{
    auto queue = std::make_shared<CEventQueue>(filter, capacity, std::move(wake));
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (replayAfter) {
        for (const Event &e : m_Window) {
            if (e.id > *replayAfter) {
                queue->Push(e);
            }
        }
    }
    m_Queues.push_back(queue);
    return queue;
}

void CEventBus::Unsubscribe(const std::shared_ptr<CEventQueue> &queue)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    std::erase(m_Queues, queue);
}

uint64_t CEventBus::LastId() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_nLastId;
}

}  // namespace kn::gateway
