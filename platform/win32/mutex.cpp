// The spinning mutex is a slim reader/writer lock taken exclusively: the
// system spins a little on a held lock before it puts the thread to sleep,
// and an unlocked one costs a single interlocked instruction.
#include "platform/mutex.h"

#include "platform/win32/win32.h"

namespace kn::platform {

namespace {

SRWLOCK *Native(SpinMutexNative &storage) { return reinterpret_cast<SRWLOCK *>(&storage); }

}  // namespace

CSpinningMutex::CSpinningMutex() { InitializeSRWLock(Native(m_Native)); }

// An SRW lock holds no system resource.
CSpinningMutex::~CSpinningMutex() = default;

void CSpinningMutex::lock() { AcquireSRWLockExclusive(Native(m_Native)); }

void CSpinningMutex::unlock() { ReleaseSRWLockExclusive(Native(m_Native)); }

bool CSpinningMutex::try_lock() { return TryAcquireSRWLockExclusive(Native(m_Native)) != 0; }

}  // namespace kn::platform
