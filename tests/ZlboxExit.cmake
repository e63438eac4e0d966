# Runs zlbox and checks its exit status and, optionally, its stderr:
#   cmake -DRUN=<emulator|zlbox> -DARGS=<a|b|...> -DEXIT=<n> [-DSTDERR=<regex>] -P ZlboxExit.cmake
string(REPLACE "|" ";" ARGS "${ARGS}")
string(REPLACE "|" ";" RUN "${RUN}")
execute_process(COMMAND ${RUN} ${ARGS} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                TIMEOUT 60)
if(NOT "${rc}" STREQUAL "${EXIT}")
  message(FATAL_ERROR "zlbox ${ARGS}: exit status ${rc}, not ${EXIT}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
  message(FATAL_ERROR "zlbox ${ARGS}: stderr does not match '${STDERR}':\n${err}")
endif()
