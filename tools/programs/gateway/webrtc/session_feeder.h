// CSessionFeeder: the few threads that carry every WebRTC session's units
// into its pipeline. Each session has a bounded queue of its own; the
// channel's delivery thread puts a unit in it and goes on, and one of the
// feeder's threads, shared by all sessions, hands it on. A session thus has
// no thread of its own, and a unit arriving for many sessions of a channel
// wakes one thread, not one a session. A session is fed in order and by
// one thread at a time; while a session's pipeline holds a thread up, the
// other sessions go on with the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/programs/gateway/stream/stream_unit.h"

namespace kn::gateway {

class CSessionFeeder {
public:
    // Hands one unit on to a session's pipeline, on one of the feeder's
    // threads, without the feeder's lock.
    using Deliver = std::function<void(const SharedUnit &unit, int64_t ptsNs)>;
    class CQueue;

    // threads: how many threads feed the sessions (started with the first
    // queue).
    explicit CSessionFeeder(size_t threads = 2);
    // Ends the threads; one still in a delivery after the grace is left to
    // finish with what it holds.
    ~CSessionFeeder();
    CSessionFeeder(const CSessionFeeder &) = delete;
    CSessionFeeder &operator=(const CSessionFeeder &) = delete;

    // A session's queue: at most units units and bytes bytes waiting
    // (a unit is always taken into an empty queue).
    std::shared_ptr<CQueue> Open(size_t units, size_t bytes, Deliver deliver);

    // The feeder's threads now (0 before the first queue).
    size_t Threads() const;

    struct State;

private:
    std::shared_ptr<State> m_pState;
};

class CSessionFeeder::CQueue : public std::enable_shared_from_this<CSessionFeeder::CQueue> {
public:
    CQueue(std::shared_ptr<State> state, size_t units, size_t bytes, Deliver deliver);
    CQueue(const CQueue &) = delete;
    CQueue &operator=(const CQueue &) = delete;

    // Queues a unit; false when the queue is full or closed (the unit is
    // not taken). Any thread; never blocks beyond the feeder's lock.
    bool Put(const SharedUnit &unit, int64_t ptsNs);
    // No unit is handed on after this, but the one being handed on now;
    // those waiting are let go. Any thread.
    void Close();
    // Waits at most timeout until no unit is being handed on: true when
    // none is. Never on a feeder's thread.
    bool WaitIdle(std::chrono::milliseconds timeout);
    // Units waiting now.
    size_t Waiting() const;

private:
    friend class CSessionFeeder;
    struct Item {
        SharedUnit unit;
        int64_t ptsNs = 0;
    };

    const std::shared_ptr<State> m_pState;
    const Deliver m_Deliver;
    const size_t m_nMaxBytes;
    // The rest under the state's lock.
    std::vector<Item> m_Ring;  // its size is the bound in units
    size_t m_nHead = 0;
    size_t m_nCount = 0;
    size_t m_nBytes = 0;
    bool m_bScheduled = false;  // in the ready list, or being fed
    bool m_bBusy = false;       // a unit is being handed on
    bool m_bClosed = false;
};

}  // namespace kn::gateway
