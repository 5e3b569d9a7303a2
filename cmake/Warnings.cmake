# Applied per target so that third-party code (GoogleTest in the cross build) keeps its own flags.
function(taviro_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wsign-conversion -Wnon-virtual-dtor)
    if(TAVIRO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
