# Plays a scenario that must fail and checks how: the exit code, the message naming the place,
# and how many failures were reported, so that a run failing for some other reason, or failing
# frames that hold, does not pass.
#   cmake -DPROGRAM=... [-DEMULATOR=...] -DSCENARIO=... -DWORK_DIR=... -DEXIT_CODE=...
#         -DMESSAGE=... -DFAILURES=... -P scenario_fails.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${SCENARIO} --work-dir ${WORK_DIR}
                RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT code STREQUAL EXIT_CODE)
    message(FATAL_ERROR "exit code ${code}, expected ${EXIT_CODE}")
endif()
string(FIND "${output}" "${MESSAGE}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "the output does not say: ${MESSAGE}")
endif()
string(REGEX MATCHALL "\nFAILED " reported "\n${output}")
list(LENGTH reported count)
if(NOT count EQUAL FAILURES)
    message(FATAL_ERROR "${count} failures reported, expected ${FAILURES}")
endif()
