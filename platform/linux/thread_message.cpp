// Thread message queues keyed by Linux thread id. All queues live in one
// registry under one lock; each queue is a fixed ring, and the registry holds
// at most kMaxQueues of them, so neither posting nor a flood of threads makes
// memory grow. A queue is made by the first post to, or wait on, its thread.
#include "platform/thread_message.h"

#include "platform/mutex.h"
#include "platform/thread.h"

#include <array>
#include <chrono>
#include <climits>
#include <memory>
#include <new>

#include <sys/syscall.h>
#include <unistd.h>

namespace kn::platform {

namespace {

struct CMessageQueue {
    uint32_t m_dwThreadId = 0;  // 0: slot free
    unsigned m_nWaiters = 0;    // threads inside GetThreadMessage on it
    uint64_t m_qwLastUse = 0;   // registry tick of the last post or take
    unsigned m_nHead = 0;
    unsigned m_nCount = 0;
    std::array<ThreadMessage, kQueueLimit> m_Ring{};
    CCondition m_Posted;
};

struct CRegistry {
    CMutex m_Mutex;
    uint64_t m_qwTick = 0;
    std::array<std::unique_ptr<CMessageQueue>, kMaxQueues> m_Queues;
};

// Never destroyed: a detached library thread may still post while the
// process exits.
CRegistry &Registry()
{
    static CRegistry *g_pRegistry = new CRegistry;
    return *g_pRegistry;
}

// True when threadId is a live thread of this process.
bool IsOwnThread(uint32_t threadId)
{
    if (threadId == 0 || threadId > static_cast<uint32_t>(INT_MAX)) {
        return false;
    }
    return syscall(SYS_tgkill, static_cast<long>(getpid()), static_cast<long>(threadId), 0L) == 0;
}

CMessageQueue *FindQueue(CRegistry &reg, uint32_t threadId)
{
    for (auto &queue : reg.m_Queues) {
        if (queue && queue->m_dwThreadId == threadId) {
            return queue.get();
        }
    }
    return nullptr;
}

// A free slot, else the least recently used queue nobody waits on (its
// messages are dropped); null when every queue has a waiter or memory ran out.
CMessageQueue *MakeQueue(CRegistry &reg, uint32_t threadId)
{
    CMessageQueue *victim = nullptr;
    for (auto &queue : reg.m_Queues) {
        if (!queue) {
            queue.reset(new (std::nothrow) CMessageQueue);
            victim = queue.get();
            break;
        }
        if (queue->m_dwThreadId == 0) {
            victim = queue.get();
            break;
        }
        if (queue->m_nWaiters == 0 && (victim == nullptr || queue->m_qwLastUse < victim->m_qwLastUse)) {
            victim = queue.get();
        }
    }
    if (victim != nullptr) {
        victim->m_dwThreadId = threadId;
        victim->m_nHead = 0;
        victim->m_nCount = 0;
        victim->m_qwLastUse = ++reg.m_qwTick;
    }
    return victim;
}

}  // namespace

bool PostThreadMessage(uint32_t threadId, uint32_t message, void *param1, uint32_t param2)
{
    const bool alive = IsOwnThread(threadId);
    CRegistry &reg = Registry();
    CLockGuard lock(reg.m_Mutex);
    CMessageQueue *queue = FindQueue(reg, threadId);
    if (!alive) {
        // The thread is gone: its queue is freed for others, so a later
        // thread that gets the same id does not inherit old messages.
        if (queue != nullptr && queue->m_nWaiters == 0) {
            queue->m_dwThreadId = 0;
            queue->m_nCount = 0;
        }
        return false;
    }
    if (queue == nullptr) {
        queue = MakeQueue(reg, threadId);
        if (queue == nullptr) {
            return false;
        }
    }
    // A notice identical to one still waiting takes no second place: it says
    // nothing the waiting one does not, and a notice repeated for as long as
    // a condition lasts (a silent recorder) must never fill the queue and
    // push out the notices that follow it.
    for (unsigned i = 0; i < queue->m_nCount; ++i) {
        const ThreadMessage &waiting = queue->m_Ring[(queue->m_nHead + i) % kQueueLimit];
        if (waiting.message == message && waiting.param1 == param1 && waiting.param2 == param2) {
            return true;
        }
    }
    if (queue->m_nCount >= kQueueLimit) {
        return false;
    }
    queue->m_Ring[(queue->m_nHead + queue->m_nCount) % kQueueLimit] = ThreadMessage{message, param1, param2};
    ++queue->m_nCount;
    queue->m_qwLastUse = ++reg.m_qwTick;
    // Notified under the lock: once unlocked, an idle queue may be reused.
    queue->m_Posted.notify_one();
    return true;
}

bool GetThreadMessage(ThreadMessage &out, uint32_t timeoutMs)
{
    const uint32_t self = CurrentThreadId();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    CRegistry &reg = Registry();
    CLock lock(reg.m_Mutex);
    CMessageQueue *queue = FindQueue(reg, self);
    if (queue == nullptr) {
        queue = MakeQueue(reg, self);
        if (queue == nullptr) {
            // Every queue has a waiter: nothing can be posted to this thread
            // now, so the wait simply runs out.
            lock.unlock();
            SleepMs(timeoutMs);
            return false;
        }
    }
    // A queue with a waiter is never reused, so the pointer stays valid.
    ++queue->m_nWaiters;
    queue->m_Posted.wait_until(lock, deadline, [queue] { return queue->m_nCount > 0; });
    --queue->m_nWaiters;
    if (queue->m_nCount == 0) {
        return false;
    }
    out = queue->m_Ring[queue->m_nHead];
    queue->m_nHead = (queue->m_nHead + 1) % kQueueLimit;
    --queue->m_nCount;
    queue->m_qwLastUse = ++reg.m_qwTick;
    return true;
}

}  // namespace kn::platform
