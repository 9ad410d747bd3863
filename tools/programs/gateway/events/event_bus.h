// CEventBus: the gateway's one event path. Sources publish from any thread
// (recorder messages come on the library's receive threads, the gateway's
// states from the recorders' supervisors and the main loop); each output
// subscribes with a queue of its own, bounded, so a slow or dead output
// never holds up a source or another output: what does not fit its queue
// is counted and dropped. The bus keeps the last events in a bounded
// window, each with its id, for a subscriber that asks to replay what came
// after an id it saw (an event stream's Last-Event-ID).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "tools/programs/gateway/events/event.h"

namespace kn::gateway {

// One subscriber's queue. Push never waits; the subscriber takes its events
// on its own thread (Wait) or when woken (Take).
class CEventQueue {
public:
    CEventQueue(EventFilter filter, size_t capacity, std::function<void()> wake);
    CEventQueue(const CEventQueue &) = delete;
    CEventQueue &operator=(const CEventQueue &) = delete;

    // Queues the event when the filter wants it; a full queue drops it and
    // counts it. Wakes the subscriber. Called by the bus.
    void Push(const Event &event);
    // Takes the next event, waiting at most timeout; false when none came
    // (or the queue was poked or closed).
    bool Wait(Event &event, std::chrono::milliseconds timeout);
    // Takes every event queued.
    std::deque<Event> Take();
    // Ends a Wait now (the subscriber has something else to do).
    void Poke();
    uint64_t Dropped() const;
    const EventFilter &Filter() const { return m_Filter; }

private:
    const EventFilter m_Filter;
    const size_t m_nCapacity;
    const std::function<void()> m_Wake;
    mutable std::mutex m_Mutex;
    std::condition_variable m_Cond;
    std::deque<Event> m_Events;
    uint64_t m_nDropped = 0;
    bool m_bPoked = false;
};

class CEventBus {
public:
    static constexpr size_t kWindow = 1024;  // events kept for replay

    explicit CEventBus(size_t window = kWindow);
    CEventBus(const CEventBus &) = delete;
    CEventBus &operator=(const CEventBus &) = delete;

    // Gives the event its id and time (now) and hands it to every
    // subscriber; returns the id. Any thread.
    uint64_t Publish(Event event);

    // A new subscriber's queue. With replayAfter: the events after that id
    // that the window still holds (and the filter wants) are queued first,
    // with no gap before the new ones. wake is called (on the publisher's
    // thread, so it must not wait) after each event queued. Any thread.
    std::shared_ptr<CEventQueue> Subscribe(const EventFilter &filter, size_t capacity, std::function<void()> wake = {},
                                           std::optional<uint64_t> replayAfter = std::nullopt);
    void Unsubscribe(const std::shared_ptr<CEventQueue> &queue);

    // The id of the last event published (0: none yet).
    uint64_t LastId() const;

private:
    const size_t m_nWindow;
    mutable std::mutex m_Mutex;
    uint64_t m_nLastId = 0;
    std::deque<Event> m_Window;
    std::vector<std::shared_ptr<CEventQueue>> m_Queues;
};

}  // namespace kn::gateway
