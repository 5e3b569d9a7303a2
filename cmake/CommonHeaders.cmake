# Clang spends two thirds of a sanitizer build's compiling in headers that are not the project's:
# the standard library's and the platform's. Under Clang they are parsed once for each way the
# project compiles, into a precompiled header that every target compiled that way takes up: one
# for the code that is tested (the plugin's, the code-patching unit's, the stand-in layer's and
# the game stand-in's, as the preset optimises it), one for the testbed's scenario harness (built
# as the test programs are). The test programs have their own, with GoogleTest's headers in it.
# GCC's builds parse the headers in each file, as before: GCC 12 forgets that a precompiled
# header's standard headers are the system's, and when optimising reports their false positives
# (-Warray-bounds in std::string's operator+) as the project's own. So the released DLL is
# compiled as it was, and each file must still include what it uses.
set(TAVIRO_COMMON_HEADERS
    <algorithm> <array> <atomic> <chrono> <cstdarg> <cstddef> <cstdint> <cstdio> <cstring> <mutex>
    <optional> <string> <string_view> <thread> <vector> ${PROJECT_SOURCE_DIR}/platform/Win32.h)
set(TAVIRO_HARNESS_HEADERS ${TAVIRO_COMMON_HEADERS} <filesystem> <fstream> <functional> <map>)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(TAVIRO_COMMON_HEADERS_ON ON)
else()
    set(TAVIRO_COMMON_HEADERS_ON OFF)
endif()

# `name` holds the precompiled header of `headers`, compiled with `options`, position-independent
# as a library's code is, or (EXECUTABLE) as an executable's.
function(taviro_common_headers_host name)
    cmake_parse_arguments(PARSE_ARGV 1 HOST "EXECUTABLE" "" "HEADERS;OPTIONS")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp "")
    add_library(${name} OBJECT ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp)
    target_precompile_headers(${name} PRIVATE ${HOST_HEADERS})
    # The platform header's own includes, without linking the stand-in layer, which takes this
    # header up itself.
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/platform
                                               ${PROJECT_SOURCE_DIR}/winshim/include)
    target_compile_options(${name} PRIVATE ${HOST_OPTIONS})
    if(HOST_EXECUTABLE)
        set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
        target_compile_options(${name} PRIVATE -fPIE)
    endif()
    taviro_warnings(${name})
endfunction()

if(TAVIRO_COMMON_HEADERS_ON)
    taviro_common_headers_host(taviro_code_headers HEADERS ${TAVIRO_COMMON_HEADERS})
    taviro_common_headers_host(taviro_harness_headers EXECUTABLE HEADERS ${TAVIRO_HARNESS_HEADERS}
                               OPTIONS ${TAVIRO_HARNESS_OPTIMISATION})
endif()

# `target` takes up the precompiled header of its kind, CODE or HARNESS, where there is one.
function(taviro_use_common_headers target kind)
    if(NOT kind MATCHES "^(CODE|HARNESS)$")
        message(FATAL_ERROR "taviro_use_common_headers: no kind ${kind} (CODE or HARNESS)")
    endif()
    if(TAVIRO_COMMON_HEADERS_ON)
        string(TOLOWER ${kind} host)
        target_precompile_headers(${target} REUSE_FROM taviro_${host}_headers)
    endif()
endfunction()
