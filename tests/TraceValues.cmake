# ZPLR_TRACE as the README gives it: 0 is off (no line anywhere, no file
# named 0), 1 is stderr, any other value a file to append to. Runs zlbox
# status in a directory of its own for each:
#   cmake -DRUN=<emulator|zlbox> -DDIR=<scratch> -P TraceValues.cmake
string(REPLACE "|" ";" RUN "${RUN}")
file(REMOVE_RECURSE "${DIR}")
file(MAKE_DIRECTORY "${DIR}")

function(status_with value out_var)
  set(ENV{ZPLR_TRACE} "${value}")
  execute_process(COMMAND ${RUN} status WORKING_DIRECTORY "${DIR}" RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  # zlbox status prints its first line whatever happens; a failure with no
  # output at all is the emulator (wine) that started nothing, seen once in
  # CI. One more try, said aloud; a program that fails so twice still fails.
  if(NOT rc EQUAL 0 AND "${out}${err}" STREQUAL "" AND RUN MATCHES ";")
    message(STATUS "ZPLR_TRACE=${value}: exit status ${rc} with no output: the emulator ran nothing; once more")
    execute_process(COMMAND ${RUN} status WORKING_DIRECTORY "${DIR}" RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ZPLR_TRACE=${value} zlbox status: exit status ${rc}\n${out}\n${err}")
  endif()
  set(${out_var} "${out}${err}" PARENT_SCOPE)
endfunction()

# A trace line names the pipe it went through.
set(line "ZLDrv[0-3] [0-9]+ bytes")

status_with(0 text)
if(text MATCHES "${line}")
  message(FATAL_ERROR "ZPLR_TRACE=0 traced:\n${text}")
endif()
file(GLOB left "${DIR}/*")
if(left)
  message(FATAL_ERROR "ZPLR_TRACE=0 left files: ${left}")
endif()

status_with(1 text)
if(NOT text MATCHES "${line}")
  message(FATAL_ERROR "ZPLR_TRACE=1 traced nothing on stderr:\n${text}")
endif()

status_with(trace.log text)
if(text MATCHES "${line}")
  message(FATAL_ERROR "ZPLR_TRACE=trace.log traced on stderr:\n${text}")
endif()
file(READ "${DIR}/trace.log" log)
if(NOT log MATCHES "${line}")
  message(FATAL_ERROR "ZPLR_TRACE=trace.log wrote no trace to the file:\n${log}")
endif()
