# The public header as a manual page, kestrelnet(3): the header's own text,
# comments and declarations, under a synopsis, so the page never drifts from
# the header. Included from packaging.cmake, it adds the page to the build and
# to the Development component; run with cmake -P (HEADER, DATE, OUTPUT), it
# writes the page.

if(CMAKE_SCRIPT_MODE_FILE)
    file(READ ${HEADER} text)
    # Backslashes are troff escapes; a line that starts with '.' or "'" is a
    # request. Both are quoted so the text shows as written.
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    string(REGEX REPLACE "\n+$" "" text "${text}")
    set(page ".TH KESTRELNET 3 \"${DATE}\" \"kestrelnet\" \"Library Functions Manual\"\n")
    string(APPEND page ".SH NAME\nkestrelnet \\- client library for networked video recorders\n")
    string(APPEND page ".SH SYNOPSIS\n.nf\n.B #include <kestrelnet/kestrelnet.h>\n.PP\n")
    string(APPEND page "cc host.c $(pkg\\-config \\-\\-cflags \\-\\-libs kestrelnet)\n")
    string(APPEND page "cc host.c $(pkg\\-config \\-\\-cflags \\-\\-libs kestrelnet\\-1.0.0.1)\n.fi\n")
    string(APPEND page ".SH DESCRIPTION\nThe header is the whole interface, and its comments are its manual:\n")
    string(APPEND page "calling order, threads, callbacks, frames and every export.\n.PP\n")
    string(APPEND page ".nf\n${text}\n.fi\n")
    string(APPEND page ".SH SEE ALSO\n.BR kestrel (1),\n.BR kestrel\\-recorder (1)\n")
    file(WRITE ${OUTPUT} "${page}")
    return()
endif()

find_program(KN_GZIP gzip REQUIRED)
string(TIMESTAMP kn_header_page_date "%Y-%m-%d" UTC)
set(kn_header_page ${PROJECT_BINARY_DIR}/man/kestrelnet.3)
add_custom_command(OUTPUT ${kn_header_page}.gz
    COMMAND ${CMAKE_COMMAND} -DHEADER=${PROJECT_SOURCE_DIR}/api/exports.h
        -DDATE=${kn_header_page_date} -DOUTPUT=${kn_header_page}
        -P ${PROJECT_SOURCE_DIR}/cmake/headerpage.cmake
    COMMAND ${KN_GZIP} -9nf ${kn_header_page}
    DEPENDS ${PROJECT_SOURCE_DIR}/api/exports.h ${PROJECT_SOURCE_DIR}/cmake/headerpage.cmake
    COMMENT "Manual page kestrelnet(3)" VERBATIM)
add_custom_target(kestrelnet-headerpage ALL DEPENDS ${kn_header_page}.gz)
install(FILES ${kn_header_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT Development)
