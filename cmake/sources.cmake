# The library's sources, listed by layer (docs/architecture.md). Add a new
# file here; nothing is globbed.
include(${CMAKE_CURRENT_LIST_DIR}/platform.cmake)

set(KN_LIBRARY_SOURCES
    core/globals.cpp
    core/handle_pool.cpp
    net/command_packet.cpp
    net/messages.cpp
    net/packet_framing.cpp
    net/packet_header.cpp
    net/reply_joiner.cpp
    net/requests.cpp
    net/reply_codes.cpp
    net/socket_ops.cpp
    net/socket_slot.cpp
    session/dvr_session.cpp
    session/recording_search.cpp
    stream/dvr_stream.cpp
    stream/frame_assembler.cpp
    stream/frame_queue.cpp
    stream/media_framer.cpp
    stream/session_streams.cpp
    api/decoder_header.cpp
    api/exports.cpp
    api/session_registry.cpp
    ${KN_PLATFORM_API_SOURCES}
    ${KN_PLATFORM_COMMON_SOURCES}
    ${KN_PLATFORM_BACKEND_SOURCES})
list(TRANSFORM KN_LIBRARY_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/)

# One release's sources compiled once into objects (kestrelnet_objects<suffix>),
# and the static library the tests link made from them (kestrelnet_core<suffix>).
# Every platform makes its shared library from the same objects.
function(kestrelnet_add_core suffix release)
    add_library(kestrelnet_objects${suffix} OBJECT ${KN_LIBRARY_SOURCES})
    target_include_directories(kestrelnet_objects${suffix} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_definitions(kestrelnet_objects${suffix}
        PUBLIC KESTREL_RELEASE=${release} PRIVATE KESTRELNET_BUILDING)

    add_library(kestrelnet_core${suffix} STATIC $<TARGET_OBJECTS:kestrelnet_objects${suffix}>)
    target_include_directories(kestrelnet_core${suffix} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_definitions(kestrelnet_core${suffix} INTERFACE KESTREL_RELEASE=${release})
    target_link_libraries(kestrelnet_core${suffix} PUBLIC ${ARGN})
endfunction()
