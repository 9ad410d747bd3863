# Writes a manual page from a program's own --help texts, so the page never
# drifts from the program. Run with cmake -P and:
#   PROGRAM   the built program
#   NAME      its installed name
#   SUMMARY   one line for the NAME section
#   COMMANDS  sub-commands whose "NAME CMD --help" texts become sections (may be empty)
#   DATE      the date shown in the page footer
#   OUTPUT    the page to write (section 1, troff)

function(kn_help_text out)
    execute_process(COMMAND ${PROGRAM} ${ARGN} --help
        OUTPUT_VARIABLE text RESULT_VARIABLE rc TIMEOUT 10)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed: ${rc}")
    endif()
    # Backslashes are troff escapes; a line that starts with '.' or "'" is a
    # request. Both are quoted so the text shows as written.
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    string(REGEX REPLACE "\n+$" "" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(TOUPPER "${NAME}" upper)
kn_help_text(main)
set(page ".TH ${upper} 1 \"${DATE}\" \"kestrelnet\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${NAME} \\- ${SUMMARY}\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${main}\n.fi\n")
foreach(command IN LISTS COMMANDS)
    kn_help_text(text ${command})
    string(TOUPPER "${command}" title)
    string(APPEND page ".SH COMMAND ${title}\n.nf\n${text}\n.fi\n")
endforeach()
string(APPEND page ".SH SEE ALSO\n")
if(NAME STREQUAL "kestrel")
    string(APPEND page ".BR kestrel-recorder (1)\n")
else()
    string(APPEND page ".BR kestrel (1)\n")
endif()
file(WRITE ${OUTPUT} "${page}")
