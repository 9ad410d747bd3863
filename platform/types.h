// The system types behind the platform layer's handles. Each backend defines
// them in a types header of its own; this header picks the backend's and is
// the only file outside the backend folders that names one.
//
// A backend's types header defines:
//   SocketHandle      the system's socket handle, copied by value
//   kNoSocket         a SocketHandle value that is never a valid socket
//   EventHandle       what a CEvent waits on, so that a socket wait can also
//                     watch an event (WaitReadable)
//   kNoEvent          an EventHandle value that is never a valid event
//   SpinMutexNative   the storage of a CSpinningMutex
#pragma once

#if defined(_WIN32)
#  include "platform/win32/types.h"
#else
#  include "platform/linux/types.h"
#endif
