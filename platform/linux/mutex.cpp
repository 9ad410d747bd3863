// The spinning mutex as an adaptive pthread mutex: a locker that finds it held
// spins for a while before it sleeps.
#include "platform/mutex.h"

namespace kn::platform {

CSpinningMutex::CSpinningMutex()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&m_Native, &attr);
    pthread_mutexattr_destroy(&attr);
}

CSpinningMutex::~CSpinningMutex() { pthread_mutex_destroy(&m_Native); }

void CSpinningMutex::lock() { pthread_mutex_lock(&m_Native); }

void CSpinningMutex::unlock() { pthread_mutex_unlock(&m_Native); }

bool CSpinningMutex::try_lock() { return pthread_mutex_trylock(&m_Native) == 0; }

}  // namespace kn::platform
