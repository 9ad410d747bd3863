# Marks every object of a 32-bit import library as safe for SEH (the
# absolute symbol @feat.00 = 1), as the MSVC tools mark theirs: an MSVC
# linker makes 32-bit images with /SAFESEH by default and refuses objects
# without the mark. The archive keeps its members and their order.
#
#   cmake -DOBJCOPY=... -DAR=... -DLIBRARY=... -P mark_safeseh.cmake
set(work ${LIBRARY}.safeseh)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
execute_process(COMMAND ${AR} t ${LIBRARY} OUTPUT_VARIABLE members COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" members "${members}")
list(FILTER members EXCLUDE REGEX "^$")
execute_process(COMMAND ${AR} x ${LIBRARY} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
foreach(member IN LISTS members)
    execute_process(COMMAND ${OBJCOPY} --add-symbol @feat.00=0x1,local ${member}
        WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(REMOVE ${LIBRARY})
execute_process(COMMAND ${AR} rcs ${LIBRARY} ${members} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${work})
