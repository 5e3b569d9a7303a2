# Plays a scenario that must fail and checks how: the exit code, the messages naming the places,
# how many failures the run reported and how many mistakes the file's reading named, so that a
# run failing for some other reason, or failing frames that hold, does not pass.
#   cmake -DPROGRAM=... [-DEMULATOR=...] -DSCENARIO=... -DWORK_DIR=... -DEXIT_CODE=...
#         -DMESSAGES=text|text... -DFAILURES=... -DMISTAKES=... -P scenario_fails.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${SCENARIO} --work-dir ${WORK_DIR}
                RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT code STREQUAL EXIT_CODE)
    message(FATAL_ERROR "exit code ${code}, expected ${EXIT_CODE}")
endif()
string(REPLACE "|" ";" messages "${MESSAGES}")
foreach(text IN LISTS messages)
    string(FIND "${output}" "${text}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the output does not say: ${text}")
    endif()
endforeach()
string(REGEX MATCHALL "\nFAILED " reported "\n${output}")
list(LENGTH reported count)
if(NOT count EQUAL FAILURES)
    message(FATAL_ERROR "${count} failures reported, expected ${FAILURES}")
endif()
get_filename_component(file ${SCENARIO} NAME)
string(REGEX MATCHALL "\n[^\n]*${file}:[0-9]+: " named "\n${output}")
list(LENGTH named count)
math(EXPR expected "${FAILURES} + ${MISTAKES}")
if(NOT count EQUAL expected)
    message(FATAL_ERROR "${count} lines named, expected ${expected}")
endif()
