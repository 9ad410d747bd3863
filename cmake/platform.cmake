# The platform backend, picked by the system the library is built for. Each
# backend lists its own sources and link lines; the code above it is the same
# on every system (see platform/README.md).
set(KN_PLATFORM_COMMON_SOURCES
    platform/ini_text.cpp
    platform/thread.cpp)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(KN_PLATFORM_BACKEND linux)
    set(KN_PLATFORM_BACKEND_SOURCES
        platform/linux/event.cpp
        platform/linux/mutex.cpp
        platform/linux/settings_file.cpp
        platform/linux/socket.cpp
        platform/linux/thread.cpp
        platform/linux/thread_message.cpp
        platform/linux/wait_word.cpp)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(KN_PLATFORM_BACKEND win32)
    set(KN_PLATFORM_BACKEND_SOURCES)
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/platform/win32/types.h)
        message(FATAL_ERROR "the win32 platform backend is not in this tree yet")
    endif()
else()
    message(FATAL_ERROR "no platform backend for ${CMAKE_SYSTEM_NAME}")
endif()

# Link lines of the shared library that belong to one backend.
function(kestrelnet_backend_link_options target)
    if(KN_PLATFORM_BACKEND STREQUAL "linux")
        # Exactly the interface's names are exported.
        target_link_options(${target} PRIVATE
            -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/kestrelnet.map)
        set_target_properties(${target} PROPERTIES
            LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/kestrelnet.map)
    endif()
endfunction()
