# Fails when a 32-bit executable takes the C runtime's 32-bit time function from msvcrt.dll
# ("time", or "_time32" by its own name): its time_t is 4 bytes, and from January 2038 on
# driving mode's press timing would stop working. The program calls _time64.
#   cmake -DOBJDUMP=... -DEXE=... -P check-time-imports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${EXE}")
endif()
string(REPLACE ";" "," dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")
set(dll "")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
  elseif(dll STREQUAL "msvcrt.dll" AND line MATCHES "^\t[0-9a-fA-F]+\t +[0-9]+  (time|_time32)$")
    list(APPEND found ${CMAKE_MATCH_1})
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "${EXE} imports the 32-bit time function (${found}) from msvcrt.dll; "
                      "use _time64")
endif()
