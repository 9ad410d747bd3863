# Debian packages made by CPack (cpack -G DEB in the build folder):
#   libkestrelnet1     both releases of the shared library
#   libkestrelnet-dev  header, link names, pkg-config and CMake files, example host
#   kestrel-tools      kestrel, kestrel-recorder, the sample clip, manual pages,
#                      the gateway's systemd unit and an example site file
# Each package carries the copyright file and a compressed changelog under
# /usr/share/doc/<package>, as Debian policy asks.

set(CPACK_PACKAGE_CONTACT "kestrelnet developers <kestrelnet@packages.invalid>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
if(TARGET kestrel AND TARGET kestrel-recorder)
    list(APPEND CPACK_COMPONENTS_ALL Tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of the runtime package; dpkg-shlibdeps finds it
# in the staging folder and the dependency is declared below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/lib ${PROJECT_BINARY_DIR}/lib/1.0.0.1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kestrelnet.invalid/")

set(KN_DEB_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestrelnet1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# One shlibs entry for the SONAME both releases share; hosts that link the
# library get a dependency on this package from it.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/deb-runtime/shlibs
    "libkestrelnet ${KN_SOVERSION} libkestrelnet1 (>= ${KN_DEB_VERSION})\n")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/deb-runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/deb-runtime/shlibs ${PROJECT_BINARY_DIR}/packaging/deb-runtime/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library for networked video recorders
kestrelnet logs in to networked video recorders over TCP, receives live
video over TCP, UDP or multicast, searches, plays back and downloads
recordings, talks to the recorder and reads and writes device parameters.
It cuts the media bytes into frames and hands them to a host callback.

This package holds release 1.0.0.13 of the shared library and, in its own
folder, the earlier release 1.0.0.1 with the same interface.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkestrelnet-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkestrelnet1 (= ${KN_DEB_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "client library for networked video recorders (development files)
kestrelnet is a client library for networked video recorders: live video,
search, playback, download, talk and device parameters over TCP and UDP.

This package holds the C header, the link names, the pkg-config files
(kestrelnet, kestrelnet-1.0.0.1), the CMake package (find_package(kestrelnet))
and the source of an example host.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kestrel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkestrelnet1 (= ${KN_DEB_VERSION})")
# The GStreamer elements the gateway and MP4 output build their pipelines
# of are plugins that no library dependency brings: appsrc, appsink,
# videoconvert, videoscale (base), rtph264pay, the RTSP server's rtpbin and
# udpsink, mp4mux, jpegenc (good), h264parse, webrtcbin (bad), avdec_h264
# (libav), and libnice's GStreamer elements for webrtcbin's ICE (nice).
# Depends, not Recommends: an install without recommends must play. With
# the gateway comes its unit, registered on install and stopped on removal
# (cmake/debian/kestrel-tools: the maintainer scripts Debian writes for a
# service).
get_property(kn_gateway_built GLOBAL PROPERTY KN_GATEWAY_BUILT)
get_property(kn_mp4_built GLOBAL PROPERTY KN_MP4_BUILT)
if(kn_gateway_built OR kn_mp4_built)
    string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, "
                                                     "gstreamer1.0-plugins-bad")
endif()
if(kn_gateway_built)
    # glib-networking: GIO's TLS (HTTPS, RTSPS, the TLS of the broker).
    string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", gstreamer1.0-libav, gstreamer1.0-nice, glib-networking")
    set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/kestrel-tools/postinst
        ${PROJECT_SOURCE_DIR}/cmake/debian/kestrel-tools/prerm ${PROJECT_SOURCE_DIR}/cmake/debian/kestrel-tools/postrm)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line host and recorder emulator for kestrelnet
kestrel is a command-line host for networked video recorders built on
kestrelnet: it logs in, receives live video, searches, plays back and
downloads recordings, reads and writes device parameters and sends audio.

kestrel gateway serves the channels of every recorder of a site as RTSP
streams, and the recorders' messages and its own states as events (an
event stream, webhooks, MQTT with Home Assistant discovery); the systemd
unit kestrel-gateway runs it as a service, reading
/etc/kestrelnet/gateway.yaml.

kestrel-recorder is a recorder emulator that serves a sample H.264 clip,
to try a host against without a recorder.")

find_program(KN_GZIP gzip REQUIRED)
# The day of the build (SOURCE_DATE_EPOCH when set), so that a configure run
# does not remake the changelogs.
string(TIMESTAMP KN_DEB_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(KN_DEB_PACKAGE ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(docdir ${PROJECT_BINARY_DIR}/packaging/doc/${KN_DEB_PACKAGE})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-changelog.in ${docdir}/changelog @ONLY)
    add_custom_command(OUTPUT ${docdir}/changelog.gz
        COMMAND ${KN_GZIP} -9nkf ${docdir}/changelog
        DEPENDS ${docdir}/changelog VERBATIM)
    list(APPEND KN_DEB_CHANGELOGS ${docdir}/changelog.gz)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian-copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KN_DEB_PACKAGE}
        RENAME copyright COMPONENT ${component})
    install(FILES ${docdir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KN_DEB_PACKAGE} COMPONENT ${component})
endforeach()
add_custom_target(kestrel-deb-docs ALL DEPENDS ${KN_DEB_CHANGELOGS})
