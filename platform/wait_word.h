// A 32-bit word that one thread can sleep on until another changes it: the
// cheapest sleep and wake-up the system offers (a futex on Linux), with no
// lock of its own. It carries no data: whatever the sleeper wakes up for is
// handed over under a mutex; the word only says "look again".
//
// Use: read Value(), look (under the caller's lock) whether there is work,
// and if not, release the lock and Wait(value, ...). A Bump() by another
// thread after the Value() read makes that Wait return at once, so no wake-up
// is lost between the look and the sleep.
#pragma once

#include <atomic>
#include <cstdint>

namespace kn::platform {

class CWaitWord {
public:
    CWaitWord() = default;
    CWaitWord(const CWaitWord &) = delete;
    CWaitWord &operator=(const CWaitWord &) = delete;

    uint32_t Value() const { return m_Word.load(std::memory_order_acquire); }

    // Sleeps while the word still equals `expected`, at most timeoutMs.
    // May return early (spuriously); the caller looks again.
    void Wait(uint32_t expected, uint32_t timeoutMs);

    // Changes the word and wakes one sleeper, if there is one. A system call
    // each time: call it when a sleeper is known to be there (or may be).
    void Bump();

private:
    std::atomic<uint32_t> m_Word{0};
};

}  // namespace kn::platform
