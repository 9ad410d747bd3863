// The library's worker threads and their stop rule, the same on every
// system: they stand on the standard library's threads. A started thread
// shares a small run record with its handle; the record outlives whichever of
// the two ends last, so a detached thread never touches freed memory of the
// handle.
#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace kn::platform {

namespace {

// Shared by the handle and the running thread; tells the handle when the
// body (and everything its function object captured) is gone.
struct CRun {
    std::mutex m_Mutex;
    std::condition_variable m_EndedCond;
    bool m_bEnded = false;
    std::function<void()> m_Body;
};

void RunBody(std::shared_ptr<CRun> run)
{
    {
        // Moved out so that the captures are released here, on this thread,
        // before the end is reported: whoever saw Stop succeed knows the body
        // holds nothing any more.
        std::function<void()> body = std::move(run->m_Body);
        try {
            body();
        } catch (...) {
            // A worker that throws ends; the process does not.
        }
    }
    {
        std::lock_guard<std::mutex> lock(run->m_Mutex);
        run->m_bEnded = true;
    }
    run->m_EndedCond.notify_all();
}

}  // namespace

// Allocated once per handle and never replaced, so IsCurrent and Stop may be
// called from the worker itself while the owner uses the same handle.
struct CThread::State {
    mutable std::mutex m_Mutex;
    std::thread m_Thread;      // joinable while held and no Stop is waiting
    std::thread::id m_Id;      // id of the held thread, default when none
    bool m_bStopping = false;  // an owner's Stop is waiting for the thread
    std::shared_ptr<CRun> m_pRun;

    void Clear()
    {
        m_Id = std::thread::id();
        m_bStopping = false;
        m_pRun.reset();
    }
};

CThread::CThread() : m_pState(std::make_shared<State>()) {}

CThread::~CThread()
{
    std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
    if (m_pState->m_Thread.joinable()) {
        m_pState->m_Thread.detach();
    }
}

bool CThread::Start(std::function<void()> body)
{
    if (!body) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
    if (m_pState->m_Id != std::thread::id()) {
        return false;
    }
    try {
        auto run = std::make_shared<CRun>();
        run->m_Body = std::move(body);
        // The new thread cannot see a half-filled handle: IsCurrent takes
        // the same lock, which is held until the id is stored.
        m_pState->m_Thread = std::thread(RunBody, run);
        m_pState->m_Id = m_pState->m_Thread.get_id();
        m_pState->m_pRun = std::move(run);
    } catch (...) {
        if (m_pState->m_Thread.joinable()) {
            m_pState->m_Thread.detach();  // only if storing the id had failed
        }
        m_pState->Clear();
        return false;
    }
    return true;
}

bool CThread::Started() const
{
    std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
    return m_pState->m_Id != std::thread::id();
}

bool CThread::IsCurrent() const
{
    std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
    return m_pState->m_Id != std::thread::id() && m_pState->m_Id == std::this_thread::get_id();
}

bool CThread::Stop(uint32_t timeoutMs)
{
    std::thread thread;
    std::shared_ptr<CRun> run;
    {
        std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
        if (m_pState->m_Id == std::thread::id()) {
            return true;
        }
        if (m_pState->m_bStopping) {
            // Another caller is already waiting; the outcome is its to report.
            return false;
        }
        if (m_pState->m_Id == std::this_thread::get_id()) {
            // A thread never waits for itself; it ends when its body returns.
            m_pState->m_Thread.detach();
            m_pState->Clear();
            return false;
        }
        // The thread object is taken out for the wait, but the handle still
        // names the thread, so the worker's own IsCurrent and Stop keep
        // answering correctly while the owner waits.
        thread = std::move(m_pState->m_Thread);
        run = m_pState->m_pRun;
        m_pState->m_bStopping = true;
    }
    bool ended;
    {
        std::unique_lock<std::mutex> lock(run->m_Mutex);
        ended = run->m_EndedCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return run->m_bEnded; });
    }
    {
        std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
        m_pState->Clear();
    }
    if (ended) {
        // The body has returned; only the thread's own exit remains.
        thread.join();
        return true;
    }
    thread.detach();
    return false;
}

}  // namespace kn::platform
