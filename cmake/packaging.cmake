# Installation and packaging: versioned shared libraries, the header, the
# pkg-config and CMake package files a host finds the library with, the host
# tools with their manual pages, and Debian packages made by CPack.
#
# The Linux layout (included once, at the end of the top-level CMakeLists.txt):
#   lib/libkestrelnet.so.1.0.0.13, .so.1 (SONAME), .so          release 1.0.0.13
#   lib/kestrelnet/1.0.0.1/libkestrelnet.so.1.0.0.1, .so.1, .so  release 1.0.0.1
#   include/kestrelnet/kestrelnet.h, and exports.h (its older name, which includes it)
#   share/man/man3/kestrelnet.3.gz (the header as a manual page)
#   lib/pkgconfig/kestrelnet.pc, kestrelnet-1.0.0.1.pc
#   lib/cmake/kestrelnet/  kestrelnet::kestrelnet, kestrelnet::kestrelnet_1001
#   bin/kestrel, bin/kestrel-recorder, share/kestrelnet/sample.h264, man pages
#   lib/systemd/system/kestrel-gateway.service, share/doc/kestrel-tools/examples/gateway.yaml
# A Windows build installs and packages its DLLs elsewhere; only the
# package's common description and the CPack set-up are shared with it.

set(KN_SOVERSION 1)
if(NOT WIN32)
    set_target_properties(kestrelnet PROPERTIES VERSION 1.0.0.13 SOVERSION ${KN_SOVERSION})
    set_target_properties(kestrelnet_1001 PROPERTIES VERSION 1.0.0.1 SOVERSION ${KN_SOVERSION})
endif()

set(KN_RELEASE_1001_LIBDIR ${CMAKE_INSTALL_LIBDIR}/kestrelnet/1.0.0.1)
set(KN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrelnet)
set(KN_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(KN_DATA_DIR ${CMAKE_INSTALL_DATADIR}/kestrelnet)

# The public header as hosts include it, <kestrelnet/kestrelnet.h>, in the
# build tree too: the example host is built the way an installed host is.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/include/kestrelnet/kestrelnet.h
    CONTENT "#include \"${PROJECT_SOURCE_DIR}/api/exports.h\"\n")
foreach(library kestrelnet kestrelnet_1001)
    target_include_directories(${library} INTERFACE $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>)
endforeach()

if(NOT WIN32)
    # Runtime: the libraries and their SONAME links. Development: the link
    # names, the header and the files that find them. Hosts get
    # -I${includedir}, for <kestrelnet/kestrelnet.h>, and -I${includedir}/kestrelnet,
    # for hosts that include "exports.h" as the header was once installed.
    set(KN_HOST_INCLUDES ${CMAKE_INSTALL_INCLUDEDIR} ${CMAKE_INSTALL_INCLUDEDIR}/kestrelnet)
    install(TARGETS kestrelnet EXPORT kestrelnetTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            COMPONENT Runtime NAMELINK_COMPONENT Development
        INCLUDES DESTINATION ${KN_HOST_INCLUDES})
    install(TARGETS kestrelnet_1001 EXPORT kestrelnetTargets
        LIBRARY DESTINATION ${KN_RELEASE_1001_LIBDIR}
            COMPONENT Runtime NAMELINK_COMPONENT Development
        INCLUDES DESTINATION ${KN_HOST_INCLUDES})
    install(FILES ${PROJECT_SOURCE_DIR}/api/exports.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrelnet RENAME kestrelnet.h COMPONENT Development)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/exports-compat.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrelnet RENAME exports.h COMPONENT Development)
    include(${PROJECT_SOURCE_DIR}/cmake/headerpage.cmake)

    # CMake package: every path in it is relative to the installed files.
    include(CMakePackageConfigHelpers)
    install(EXPORT kestrelnetTargets NAMESPACE kestrelnet::
        DESTINATION ${KN_CMAKE_DIR} COMPONENT Development)
    configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kestrelnetConfig.cmake.in
        ${PROJECT_BINARY_DIR}/packaging/kestrelnetConfig.cmake
        INSTALL_DESTINATION ${KN_CMAKE_DIR})
    write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/kestrelnetConfigVersion.cmake
        VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/kestrelnetConfig.cmake
        ${PROJECT_BINARY_DIR}/packaging/kestrelnetConfigVersion.cmake
        DESTINATION ${KN_CMAKE_DIR} COMPONENT Development)

    # pkg-config: the prefix is found from the .pc file's own place, so an
    # installed tree can be moved.
    file(RELATIVE_PATH KN_PC_TO_PREFIX /${KN_PKGCONFIG_DIR} /)
    string(REGEX REPLACE "/$" "" KN_PC_TO_PREFIX "${KN_PC_TO_PREFIX}")
    foreach(release 1.0.0.13 1.0.0.1)
        if(release STREQUAL "1.0.0.13")
            set(KN_PC_NAME kestrelnet)
            set(KN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
            set(KN_PC_RPATH "")
        else()
            set(KN_PC_NAME kestrelnet-1.0.0.1)
            set(KN_PC_LIBDIR "\${prefix}/${KN_RELEASE_1001_LIBDIR}")
            # The release's own folder is not on the loader's path.
            set(KN_PC_RPATH "-Wl,-rpath,\${libdir} ")
        endif()
        set(KN_PC_RELEASE ${release})
        configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrelnet.pc.in
            ${PROJECT_BINARY_DIR}/packaging/${KN_PC_NAME}.pc @ONLY)
        install(FILES ${PROJECT_BINARY_DIR}/packaging/${KN_PC_NAME}.pc
            DESTINATION ${KN_PKGCONFIG_DIR} COMPONENT Development)
    endforeach()

    # The example host's source, with a build file that finds the installed
    # library either way.
    install(FILES ${PROJECT_SOURCE_DIR}/tools/examples/example_host/main.c
        ${PROJECT_SOURCE_DIR}/cmake/example/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkestrelnet-dev/examples COMPONENT Development)

    # Host tools. kestrel-recorder looks for its clip beside its own binary
    # first, so the installed one finds the installed clip.
    if(TARGET kestrel AND TARGET kestrel-recorder)
        file(RELATIVE_PATH KN_BIN_TO_CLIP /${CMAKE_INSTALL_BINDIR} /${KN_DATA_DIR}/sample.h264)
        target_compile_definitions(kestrel-recorder PRIVATE KN_INSTALLED_CLIP="${KN_BIN_TO_CLIP}")
        install(TARGETS kestrel kestrel-recorder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
        install(FILES ${PROJECT_SOURCE_DIR}/tools/testing/clip/sample.h264 ${PROJECT_SOURCE_DIR}/tools/testing/clip/sample30.h264
            DESTINATION ${KN_DATA_DIR} COMPONENT Tools)
        # The gateway as a service: its systemd unit, and an example site file
        # to copy to /etc/kestrelnet/gateway.yaml (the unit waits for it).
        get_property(kn_gateway_built GLOBAL PROPERTY KN_GATEWAY_BUILT)
        if(kn_gateway_built)
            install(FILES ${PROJECT_SOURCE_DIR}/tools/programs/gateway/kestrel-gateway.service
                DESTINATION lib/systemd/system COMPONENT Tools)
            install(FILES ${PROJECT_SOURCE_DIR}/tools/programs/gateway/gateway.yaml
                DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrel-tools/examples COMPONENT Tools)
        endif()
        if(NOT CMAKE_CROSSCOMPILING)
            include(${PROJECT_SOURCE_DIR}/cmake/manpages.cmake)
        endif()
    endif()

    include(${PROJECT_SOURCE_DIR}/cmake/debian.cmake)
endif()

set(CPACK_PACKAGE_NAME kestrelnet)
set(CPACK_PACKAGE_VENDOR "kestrelnet")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
    # Debian packages take their summary from each package's own description.
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client library for networked video recorders")
endif()
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
include(CPack)
