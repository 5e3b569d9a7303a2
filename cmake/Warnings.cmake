# Applied per target so that third-party code (GoogleTest in the cross build) keeps its own flags.
function(taviro_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wsign-conversion -Wnon-virtual-dtor)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        # GCC 12 reports std::string concatenation under -O3 as overlapping memcpy (GCC bug 105329).
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    if(TAVIRO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
