# Shared part of the MinGW-w64 cross toolchains. The including file sets
# KN_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.2)  # Windows 8: WaitOnAddress is the oldest call we need

# The posix thread model: the C++ standard library's threads and mutexes run
# on winpthread, which the DLL links statically.
set(CMAKE_C_COMPILER ${KN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KN_MINGW_TRIPLE}-windres)
set(CMAKE_AR /usr/bin/${KN_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${KN_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(KN_DLLTOOL /usr/bin/${KN_MINGW_TRIPLE}-dlltool CACHE FILEPATH "dlltool of the cross toolchain")
set(KN_OBJCOPY /usr/bin/${KN_MINGW_TRIPLE}-objcopy CACHE FILEPATH "objcopy of the cross toolchain")

set(CMAKE_FIND_ROOT_PATH /usr/${KN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine; the prefix and the server come from the
# environment (see .ci/windows.sh and the mingw test presets).
# A 64-bit program needs only Wine's 64-bit loader. Debian's `wine` script
# starts the 32-bit loader whenever it is installed, which fails on kernels
# built without 32-bit support, so the 64-bit build names its loader itself.
if(KN_MINGW_TRIPLE MATCHES "^x86_64")
    find_program(KN_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
find_program(KN_WINE wine)
if(KN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KN_WINE})
endif()
