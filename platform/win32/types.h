// The Win32 backend's system types, spelled without the system headers so
// that no library file outside this folder sees <windows.h> and its macros.
// The backend's sources check each one against the real type.
#pragma once

#include <cstdint>

namespace kn::platform {

using SocketHandle = std::uintptr_t;                         // SOCKET
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};  // INVALID_SOCKET

using EventHandle = void *;  // HANDLE of an auto-reset event object
inline constexpr EventHandle kNoEvent = nullptr;

// An SRWLOCK: one pointer-sized word, all zero when unlocked.
struct SpinMutexNative {
    void *m_pWord;
};

}  // namespace kn::platform
