// The wait word on WaitOnAddress: the system compares the word with the
// expected value and sleeps only while they are equal, so a Bump between the
// caller's look and its Wait is never lost.
#include "platform/wait_word.h"

#include "platform/win32/win32.h"

namespace kn::platform {

void CWaitWord::Wait(uint32_t expected, uint32_t timeoutMs)
{
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the word is a plain 32-bit value");
    const DWORD ms = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
    // A time-out or a spurious return both send the caller back to look.
    (void)WaitOnAddress(&m_Word, &expected, sizeof expected, ms);
}

void CWaitWord::Bump()
{
    m_Word.fetch_add(1, std::memory_order_release);
    WakeByAddressSingle(&m_Word);
}

}  // namespace kn::platform
