#include "platform/wait_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace kn::platform {

namespace {

long Futex(std::atomic<uint32_t> *word, int op, uint32_t value, const timespec *timeout)
{
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex is a plain 32-bit word");
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), op, value, timeout, nullptr, 0);
}

}  // namespace

void CWaitWord::Wait(uint32_t expected, uint32_t timeoutMs)
{
    // A relative time-out: an interrupted or spurious return simply makes the
    // caller look again, and every caller bounds its whole wait itself.
    const timespec timeout{static_cast<time_t>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000000L};
    (void)Futex(&m_Word, FUTEX_WAIT_PRIVATE, expected, &timeout);
}

void CWaitWord::Bump()
{
    m_Word.fetch_add(1, std::memory_order_release);
    (void)Futex(&m_Word, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

}  // namespace kn::platform
