# GStreamer for the host tools (kestrel gateway and kestrel's MP4 output),
# found with pkg-config. The library itself never uses it. Sets
# KN_GST_BASE_FOUND (core and app library: MP4 output) and KN_GST_RTSP_FOUND
# (RTSP server and RTP libraries: the gateway), with imported targets
# PkgConfig::KN_GST_BASE and PkgConfig::KN_GST_RTSP.
include_guard(GLOBAL)

# The host's GStreamer only serves builds for the host: a cross build (such
# as Windows with MinGW) gets neither tool.
if(CMAKE_CROSSCOMPILING OR WIN32)
    set(KN_GST_BASE_FOUND FALSE)
    set(KN_GST_RTSP_FOUND FALSE)
    return()
endif()

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(KN_GST_BASE QUIET IMPORTED_TARGET GLOBAL gstreamer-1.0>=1.20 gstreamer-app-1.0)
    pkg_check_modules(KN_GST_RTSP QUIET IMPORTED_TARGET GLOBAL gstreamer-rtsp-1.0 gstreamer-rtsp-server-1.0
        gstreamer-rtp-1.0)
endif()
