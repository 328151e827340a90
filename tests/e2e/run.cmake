# Plays one scenario through pelkavorn-sim and compares its output with the expected lines.
#   cmake -DSIM=... -DSCENARIO=... -DEXPECTED=... -P run.cmake
execute_process(COMMAND ${SIM} ${SCENARIO} OUTPUT_VARIABLE actual ERROR_VARIABLE errors
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pelkavorn-sim ended with ${result}:\n${errors}")
endif()
file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "output differs from ${EXPECTED}\n--- expected\n${expected}--- actual\n${actual}")
endif()
