# Runs zlbox and checks its exit status and, optionally, its stderr:
#   cmake -DRUN=<emulator|zlbox> -DARGS=<a|b|...> -DEXIT=<n> [-DSTDERR=<regex>]
#         [-DENV=<NAME=value|...>] -P ZlboxExit.cmake
# ENV sets variables for zlbox; a bare NAME unsets one.
string(REPLACE "|" ";" ARGS "${ARGS}")
string(REPLACE "|" ";" RUN "${RUN}")
if(DEFINED ENV)
  string(REPLACE "|" ";" ENV "${ENV}")
  set(envArgs)
  foreach(e IN LISTS ENV)
    if(e MATCHES "=")
      list(APPEND envArgs "${e}")
    else()
      list(APPEND envArgs "--unset=${e}")
    endif()
  endforeach()
  set(RUN ${CMAKE_COMMAND} -E env ${envArgs} ${RUN})
endif()
execute_process(COMMAND ${RUN} ${ARGS} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                TIMEOUT 60)
if(NOT "${rc}" STREQUAL "${EXIT}")
  message(FATAL_ERROR "zlbox ${ARGS}: exit status ${rc}, not ${EXIT}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
  message(FATAL_ERROR "zlbox ${ARGS}: stderr does not match '${STDERR}':\n${err}")
endif()
if(DEFINED STDOUT AND NOT out MATCHES "${STDOUT}")
  message(FATAL_ERROR "zlbox ${ARGS}: stdout does not match '${STDOUT}':\n${out}")
endif()
