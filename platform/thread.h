// Library threads with the stop rule every worker follows: the owner clears
// the worker's run flag, then joins with a time limit; a thread that has not
// ended by then is detached and left to finish on its own. Whatever such a
// thread still uses must be kept alive by the thread itself (its body holds a
// shared_ptr to its object), so nothing it touches is ever freed under it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kn::platform {

// How long an owner waits for a stopped worker before leaving it detached.
constexpr uint32_t kThreadStopGraceMs = 2000;

class CThread {
public:
    CThread();
    ~CThread();  // detaches a thread that is still running; never blocks
    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    // Starts body on a new thread. False when a thread is already held or the
    // system refused; the handle then stays empty.
    bool Start(std::function<void()> body);

    // True while a started thread has not been joined or detached.
    bool Started() const;

    // True when called on this thread.
    bool IsCurrent() const;

    // Waits up to timeoutMs for the thread to end. Returns true when it ended
    // (or none was started). Otherwise the thread is detached and false is
    // returned. Called on the thread itself it detaches at once and returns
    // false: a thread never waits for itself. The handle is empty afterwards.
    // While one Stop waits, a second Stop (from the thread itself or anyone
    // else) returns false at once and IsCurrent still answers for the thread.
    bool Stop(uint32_t timeoutMs);

private:
    struct State;
    std::shared_ptr<State> m_pState;
};

// The system's id of the calling thread (what the host passes to
// KR_4100_SetDVRMessage).
uint32_t CurrentThreadId();

// Names the calling thread for debuggers and process listings (at most 15
// characters are kept).
void NameCurrentThread(const char *name);

void SleepMs(uint32_t ms);

// Monotonic milliseconds, for measuring elapsed time.
uint64_t NowMs();

}  // namespace kn::platform
