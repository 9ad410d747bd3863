# The libFuzzer targets (fuzz/), built only on request and only by clang.
option(KESTREL_FUZZ "Build the libFuzzer targets fuzz_* (clang only)" OFF)
if(KESTREL_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "KESTREL_FUZZ needs clang (configure with the fuzz preset)")
    endif()
    add_subdirectory(${PROJECT_SOURCE_DIR}/fuzz ${PROJECT_BINARY_DIR}/fuzz)
endif()
