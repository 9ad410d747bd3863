// The system headers as every file of the Win32 backend includes them: the
// socket header before <windows.h>, the lean variant, no min/max macros. The
// checks tie the backend's types header to the real system types.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#  define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <type_traits>

#include "platform/win32/types.h"

namespace kn::platform {

static_assert(std::is_same_v<SocketHandle, SOCKET>, "SocketHandle is SOCKET");
static_assert(kNoSocket == INVALID_SOCKET, "kNoSocket is INVALID_SOCKET");
static_assert(std::is_same_v<EventHandle, HANDLE>, "EventHandle is HANDLE");
static_assert(sizeof(SpinMutexNative) == sizeof(SRWLOCK) && alignof(SpinMutexNative) == alignof(SRWLOCK),
              "SpinMutexNative holds an SRWLOCK");

}  // namespace kn::platform
