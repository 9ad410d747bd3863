#include "platform/mutex.h"

#include <pthread.h>

#include <new>

namespace kn::platform {

namespace {

pthread_mutex_t *Native(unsigned char *storage) { return std::launder(reinterpret_cast<pthread_mutex_t *>(storage)); }

}  // namespace

CSpinningMutex::CSpinningMutex()
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(m_storage), "storage too small");
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(new (m_storage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

CSpinningMutex::~CSpinningMutex() { pthread_mutex_destroy(Native(m_storage)); }

void CSpinningMutex::lock() { pthread_mutex_lock(Native(m_storage)); }

void CSpinningMutex::unlock() { pthread_mutex_unlock(Native(m_storage)); }

bool CSpinningMutex::try_lock() { return pthread_mutex_trylock(Native(m_storage)) == 0; }

}  // namespace kn::platform
