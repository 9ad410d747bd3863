// The spinning mutex is a slim reader/writer lock taken exclusively: the
// system spins a little on a held lock before it puts the thread to sleep,
// and an unlocked one costs a single interlocked instruction.
#include "platform/mutex.h"

#include "platform/win32/win32.h"

namespace kn::platform {

namespace {

SRWLOCK *Native(SpinMutexNative &storage) { return reinterpret_cast<SRWLOCK *>(&storage); }

}  // namespace

CSpinningMutex::CSpinningMutex() { InitializeSRWLock(Native(m_native)); }

// An SRW lock holds no system resource.
CSpinningMutex::~CSpinningMutex() = default;

void CSpinningMutex::lock() { AcquireSRWLockExclusive(Native(m_native)); }

void CSpinningMutex::unlock() { ReleaseSRWLockExclusive(Native(m_native)); }

bool CSpinningMutex::try_lock() { return TryAcquireSRWLockExclusive(Native(m_native)) != 0; }

}  // namespace kn::platform
