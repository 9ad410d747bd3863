#include "tools/programs/gateway/webrtc/session_feeder.h"

#include <algorithm>
#include <utility>

namespace kn::gateway {

namespace {

constexpr std::chrono::milliseconds kGrace{2000};

}  // namespace

struct CSessionFeeder::State {
    explicit State(size_t threads) : wanted(std::max<size_t>(threads, 1)) {}

    // The queues with units to hand on, oldest first: a ring that grows
    // when more queues wait than it holds (never while media flows once it
    // has grown to the sessions there are).
    void PushReady(std::shared_ptr<CQueue> queue)
    {
        if (readyCount == ready.size()) {
            std::vector<std::shared_ptr<CQueue>> grown(std::max<size_t>(ready.size() * 2, 8));
            for (size_t i = 0; i < readyCount; ++i) {
                grown[i] = std::move(ready[(readyHead + i) % ready.size()]);
            }
            ready = std::move(grown);
            readyHead = 0;
        }
        ready[(readyHead + readyCount) % ready.size()] = std::move(queue);
        ++readyCount;
    }
    std::shared_ptr<CQueue> PopReady()
    {
        std::shared_ptr<CQueue> queue = std::move(ready[readyHead]);
        readyHead = (readyHead + 1) % ready.size();
        --readyCount;
        return queue;
    }

    void Run();

    const size_t wanted;
    mutable std::mutex mutex;
    std::condition_variable work;     // a queue is ready, or the feeder stops
    std::condition_variable idle;     // a delivery ended
    std::condition_variable stopped;  // a thread ended
    std::vector<std::shared_ptr<CQueue>> ready;
    size_t readyHead = 0;
    size_t readyCount = 0;
    std::vector<std::thread> threads;
    size_t running = 0;
    bool stop = false;
};

void CSessionFeeder::State::Run()
{
    std::unique_lock<std::mutex> lk(mutex);
    for (;;) {
        work.wait(lk, [this] { return stop || readyCount > 0; });
        if (stop) {
            break;
        }
        std::shared_ptr<CQueue> queue = PopReady();
        if (queue->m_bClosed || queue->m_nCount == 0) {
            queue->m_bScheduled = false;
            continue;
        }
        CQueue::Item item = std::move(queue->m_Ring[queue->m_nHead]);
        queue->m_nHead = (queue->m_nHead + 1) % queue->m_Ring.size();
        --queue->m_nCount;
        queue->m_nBytes -= item.unit->bytes.size();
        queue->m_bBusy = true;
        lk.unlock();
        queue->m_Deliver(item.unit, item.ptsNs);
        item.unit.reset();
        lk.lock();
        queue->m_bBusy = false;
        if (queue->m_bClosed) {
            queue->m_bScheduled = false;
            idle.notify_all();
        } else if (queue->m_nCount > 0) {
            // Its next unit after those of the queues that waited meanwhile.
            PushReady(std::move(queue));
        } else {
            queue->m_bScheduled = false;
        }
    }
    --running;
    stopped.notify_all();
}

CSessionFeeder::CSessionFeeder(size_t threads) : m_pState(std::make_shared<State>(threads)) {}

CSessionFeeder::~CSessionFeeder()
{
    std::unique_lock<std::mutex> lk(m_pState->mutex);
    m_pState->stop = true;
    m_pState->work.notify_all();
    const bool ended = m_pState->stopped.wait_for(lk, kGrace, [this] { return m_pState->running == 0; });
    std::vector<std::thread> threads = std::move(m_pState->threads);
    m_pState->ready.clear();
    m_pState->readyCount = 0;
    lk.unlock();
    for (std::thread &t : threads) {
        // A thread still held up in a pipeline keeps the state it runs on.
        ended ? t.join() : t.detach();
    }
}

std::shared_ptr<CSessionFeeder::CQueue> CSessionFeeder::Open(size_t units, size_t bytes, Deliver deliver)
{
    auto queue = std::make_shared<CQueue>(m_pState, units, bytes, std::move(deliver));
    std::lock_guard<std::mutex> lk(m_pState->mutex);
    while (!m_pState->stop && m_pState->threads.size() < m_pState->wanted) {
        ++m_pState->running;
        m_pState->threads.emplace_back([state = m_pState] { state->Run(); });
    }
    return queue;
}

size_t CSessionFeeder::Threads() const
{
    std::lock_guard<std::mutex> lk(m_pState->mutex);
    return m_pState->running;
}

CSessionFeeder::CQueue::CQueue(std::shared_ptr<State> state, size_t units, size_t bytes, Deliver deliver)
    : m_pState(std::move(state)), m_Deliver(std::move(deliver)), m_nMaxBytes(bytes), m_Ring(std::max<size_t>(units, 1))
{}

bool CSessionFeeder::CQueue::Put(const SharedUnit &unit, int64_t ptsNs)
{
    std::unique_lock<std::mutex> lk(m_pState->mutex);
    if (m_bClosed || m_pState->stop || m_nCount == m_Ring.size() ||
        (m_nCount > 0 && m_nBytes + unit->bytes.size() > m_nMaxBytes)) {
        return false;
    }
    Item &slot = m_Ring[(m_nHead + m_nCount) % m_Ring.size()];
    slot.unit = unit;
    slot.ptsNs = ptsNs;
    ++m_nCount;
    m_nBytes += unit->bytes.size();
    if (m_bScheduled) {
        return true;  // a thread has it, or will
    }
    m_bScheduled = true;
    // The ready list's reference keeps the queue while a thread may reach it.
    m_pState->PushReady(shared_from_this());
    lk.unlock();
    m_pState->work.notify_one();
    return true;
}

void CSessionFeeder::CQueue::Close()
{
    std::lock_guard<std::mutex> lk(m_pState->mutex);
    m_bClosed = true;
    for (; m_nCount > 0; --m_nCount) {
        m_Ring[m_nHead].unit.reset();
        m_nHead = (m_nHead + 1) % m_Ring.size();
    }
    m_nBytes = 0;
}

bool CSessionFeeder::CQueue::WaitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lk(m_pState->mutex);
    return m_pState->idle.wait_for(lk, timeout, [this] { return !m_bBusy; });
}

size_t CSessionFeeder::CQueue::Waiting() const
{
    std::lock_guard<std::mutex> lk(m_pState->mutex);
    return m_nCount;
}

}  // namespace kn::gateway
