# Plain-name exports of zPLR.dll.
#
# Configure time (included): reads include/zPLR.exports and writes a source
# that names each member, so that a name without its member fails to compile.
# Build time (cmake -P, MinGW only): finds each member's mangled symbol in
# the library's objects with nm and writes a .def that exports the plain
# name as an alias of it; a name with no or several symbols fails the build.
# MSVC_DEF, when given, is the list of Visual C++ names (cmake/msvc/), added
# to the same .def.

function(zplr_plain_names out)
  file(STRINGS "${ZPLR_EXPORTS_LIST}" lines)
  set(names "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    list(APPEND names "${line}")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  zplr_plain_names(names)
  string(REPLACE "|" ";" objects "${OBJECTS}")
  execute_process(COMMAND "${NM}" --defined-only -g ${objects}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on the library's objects")
  endif()
  string(REPLACE "\n" ";" symbols "${symbols}")
  set(def "EXPORTS\n")
  foreach(name IN LISTS names)
    string(LENGTH "${name}" len)
    set(found "")
    foreach(line IN LISTS symbols)
      # "<address> T <symbol>"; i686 objects carry one more leading underscore.
      if(line MATCHES " T _?(_ZN8CZusb_IO${len}${name}E[A-Za-z0-9_]*)$")
        list(APPEND found "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    list(REMOVE_DUPLICATES found)
    list(LENGTH found n)
    if(NOT n EQUAL 1)
      message(FATAL_ERROR "plain export ${name}: ${n} member symbols found (${found})")
    endif()
    string(APPEND def "    ${name} = ${found}\n")
  endforeach()
  if(MSVC_DEF)
    file(READ "${MSVC_DEF}" msvc)
    string(APPEND def "${msvc}")
  endif()
  file(WRITE "${OUT}.tmp" "${def}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${OUT}.tmp" "${OUT}")
  return()
endif()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZPLR_EXPORTS_LIST}")
zplr_plain_names(ZPLR_PLAIN_NAMES)
set(check "// Generated from include/zPLR.exports: every plain export names a member.\n")
string(APPEND check "#include \"zPLR.h\"\n")
foreach(name IN LISTS ZPLR_PLAIN_NAMES)
  string(APPEND check "static_assert(sizeof(&CZusb_IO::${name}) != 0, \"${name}\");\n")
endforeach()
file(WRITE "${CMAKE_BINARY_DIR}/PlainExportsCheck.cpp.tmp" "${check}")
configure_file("${CMAKE_BINARY_DIR}/PlainExportsCheck.cpp.tmp" "${CMAKE_BINARY_DIR}/PlainExportsCheck.cpp" COPYONLY)
