# Windows: kestrelnet.dll for both releases, cross-built with MinGW-w64
# (cmake/toolchains/), with the import libraries a host links against, the
# Windows test programs (run under Wine) and one zip per release.
#
# Layout, as on Linux: lib/kestrelnet.dll (1.0.0.13) and
# lib/1.0.0.1/kestrelnet.dll, each beside libkestrelnet.dll.a (MinGW),
# kestrelnet.lib (MSVC) and kestrelnet.def.
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(KN_WIN_ARCH i686)
else()
    set(KN_WIN_ARCH x86_64)
endif()
# The export table: ordinals, exported names and, on 32-bit, the decorated
# symbols they come from (see the file's head).
set(KN_WIN_DEF ${PROJECT_SOURCE_DIR}/cmake/win32/kestrelnet-${KN_WIN_ARCH}.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KN_WIN_DEF})

# The import libraries are made from the same table, turned around: the
# symbol a host's code calls (the plain name, on 32-bit decorated like the
# DLL's function) imports the exported name. The linker's own import library
# cannot serve: it would offer the plain names undecorated.
function(kestrelnet_write_import_def def out)
    file(STRINGS ${def} lines REGEX "^    ")
    set(text "LIBRARY \"kestrelnet.dll\"\nEXPORTS\n")
    foreach(line IN LISTS lines)
        if(NOT line MATCHES "^ *([^ ]+) *= *([^ ]+) *@([0-9]+) *$")
            message(FATAL_ERROR "${def}: cannot read the line '${line}'")
        endif()
        set(exported ${CMAKE_MATCH_1})
        set(symbol ${CMAKE_MATCH_2})
        set(ordinal ${CMAKE_MATCH_3})
        string(REGEX REPLACE "^_" "" plain "${exported}")
        string(REGEX REPLACE "@[0-9]+$" "" plain "${plain}")
        string(REGEX MATCH "@[0-9]+$" decoration "${symbol}")
        string(APPEND text "    ${plain}${decoration} @${ordinal} == ${exported}\n")
    endforeach()
    file(WRITE ${out} "${text}")
endfunction()
set(KN_WIN_IMPORT_DEF ${CMAKE_CURRENT_BINARY_DIR}/kestrelnet-import.def)
kestrelnet_write_import_def(${KN_WIN_DEF} ${KN_WIN_IMPORT_DEF})

# dlltool and objcopy of the cross toolchain (named by the toolchain file).
foreach(tool DLLTOOL OBJCOPY)
    if(NOT KN_${tool})
        string(TOLOWER ${tool} name)
        find_program(KN_${tool} NAMES ${KN_MINGW_TRIPLE}-${name} ${name} REQUIRED)
    endif()
endforeach()

# Windows 8 is the oldest system the backend calls into (WaitOnAddress).
add_compile_definitions(_WIN32_WINNT=0x0602 WINVER=0x0602)

set(KN_WIN_SYSTEM_LIBRARIES ws2_32 advapi32 user32 synchronization)

# Everything but system DLLs is linked in: libgcc, libstdc++ and winpthread.
# Only the module definition file exports (no automatic exports), and a
# symbol the file names that does not exist under that exact decoration is
# an error, never quietly matched to another decoration.
set(KN_WIN_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

function(kestrelnet_add_windows_release suffix release version output_dir)
    # The static library is for the Windows test programs.
    kestrelnet_add_core("${suffix}" ${release} ${KN_WIN_SYSTEM_LIBRARIES})

    string(REPLACE "." "," KN_RC_VERSION_COMMAS ${version})
    set(KN_RC_VERSION ${version})
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/kestrelnet${suffix}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/win32/kestrelnet.rc.in ${rc} @ONLY)

    set(dll kestrelnet${suffix})
    add_library(${dll} SHARED $<TARGET_OBJECTS:kestrelnet_objects${suffix}> ${rc} ${KN_WIN_DEF})
    target_link_libraries(${dll} PRIVATE ${KN_WIN_SYSTEM_LIBRARIES})
    target_link_options(${dll} PRIVATE ${KN_WIN_STATIC_RUNTIME}
        -Wl,--exclude-all-symbols -Wl,--disable-stdcall-fixup)
    # The linker's own import library is kept out of the way (see above).
    set_target_properties(${dll} PROPERTIES
        PREFIX ""
        OUTPUT_NAME kestrelnet
        RUNTIME_OUTPUT_DIRECTORY ${output_dir}
        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/linker-implib${suffix})
    set(mark_safeseh)
    if(KN_WIN_ARCH STREQUAL "i686")
        set(mark_safeseh COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${KN_OBJCOPY} -DAR=${CMAKE_AR}
            -DLIBRARY=${output_dir}/kestrelnet.lib -P ${PROJECT_SOURCE_DIR}/cmake/win32/mark_safeseh.cmake)
    endif()
    add_custom_command(TARGET ${dll} POST_BUILD
        COMMAND ${KN_DLLTOOL} -d ${KN_WIN_IMPORT_DEF} -D kestrelnet.dll -l libkestrelnet.dll.a
        COMMAND ${KN_DLLTOOL} -d ${KN_WIN_IMPORT_DEF} -D kestrelnet.dll -l kestrelnet.lib
        ${mark_safeseh}
        COMMAND ${CMAKE_COMMAND} -E copy ${KN_WIN_DEF} kestrelnet.def
        WORKING_DIRECTORY ${output_dir}
        VERBATIM)

    # One zip per release: the DLL, both import libraries, the header (as
    # <kestrelnet/kestrelnet.h>, and under its older name exports.h), the
    # module definition file and the licence.
    install(FILES ${output_dir}/kestrelnet.dll DESTINATION bin COMPONENT ${version})
    install(FILES ${output_dir}/libkestrelnet.dll.a ${output_dir}/kestrelnet.lib ${output_dir}/kestrelnet.def
        DESTINATION lib COMPONENT ${version})
    install(FILES ${PROJECT_SOURCE_DIR}/api/exports.h
        DESTINATION include/kestrelnet RENAME kestrelnet.h COMPONENT ${version})
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/exports-compat.h
        DESTINATION include/kestrelnet RENAME exports.h COMPONENT ${version})
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT ${version})
endfunction()

kestrelnet_add_windows_release("" 13 1.0.0.13 ${PROJECT_BINARY_DIR}/lib)
kestrelnet_add_windows_release(_1001 1 1.0.0.1 ${PROJECT_BINARY_DIR}/lib/1.0.0.1)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kestrelnet)
set(CPACK_PACKAGE_FILE_NAME kestrelnet-windows-${KN_WIN_ARCH})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL 1.0.0.13 1.0.0.1)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)

if(KESTREL_BUILD_TESTS)
    enable_testing()
    add_subdirectory(tests/win32)
endif()
