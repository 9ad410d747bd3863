// The Linux backend's system types: sockets and events are file descriptors,
// the spinning mutex is an adaptive pthread mutex.
#pragma once

#include <pthread.h>

namespace kn::platform {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

using EventHandle = int;  // an eventfd
inline constexpr EventHandle kNoEvent = -1;

using SpinMutexNative = pthread_mutex_t;

}  // namespace kn::platform
