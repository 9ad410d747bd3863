# The library's sources, listed by layer (docs/architecture.md). Add a new
# file here; nothing is globbed.
include(${CMAKE_CURRENT_LIST_DIR}/platform.cmake)

set(KN_LIBRARY_SOURCES
    core/globals.cpp
    net/command_packet.cpp
    net/packet_framing.cpp
    net/reply_codes.cpp
    net/socket_ops.cpp
    net/socket_slot.cpp
    session/dvr_session.cpp
    session/recording_search.cpp
    stream/dvr_stream.cpp
    stream/frame_assembler.cpp
    stream/frame_queue.cpp
    stream/session_streams.cpp
    api/decoder_header.cpp
    api/exports.cpp
    api/session_registry.cpp
    ${KN_PLATFORM_COMMON_SOURCES}
    ${KN_PLATFORM_BACKEND_SOURCES})
list(TRANSFORM KN_LIBRARY_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/)
