# Manual pages for the host tools, made from their --help texts when they are
# built, compressed as Debian keeps them, and installed with the tools.

find_program(KN_GZIP gzip REQUIRED)
string(TIMESTAMP KN_MAN_DATE "%Y-%m-%d" UTC)
set(KN_MAN_PAGES)
foreach(tool kestrel kestrel-recorder)
    if(tool STREQUAL "kestrel")
        set(summary "command-line host for networked video recorders")
        set(commands "login;live;search;playback;download;param;talk")
    else()
        set(summary "recorder emulator serving a sample clip")
        set(commands "")
    endif()
    set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${tool}> -DNAME=${tool}
            "-DSUMMARY=${summary}" "-DCOMMANDS=${commands}" -DDATE=${KN_MAN_DATE}
            -DOUTPUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
        COMMAND ${KN_GZIP} -9nf ${page}
        DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
        COMMENT "Manual page ${tool}(1)" VERBATIM)
    list(APPEND KN_MAN_PAGES ${page}.gz)
endforeach()
add_custom_target(kestrel-manpages ALL DEPENDS ${KN_MAN_PAGES})
install(FILES ${KN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
