# zPLR.dll's face for Visual C++ (MinGW builds only).
#
# cmake/msvc/zPLR-<arch>.def lists the class's Visual C++ names, each an alias
# of its MinGW member or of an adapter in platform/MsvcFaceWin.cpp. The list
# comes from clang (scripts/msvc_names.py); where clang and Python are found,
# the build checks it against include/zPLR.h and fails when they differ.
# zPLR.lib, the import library for Visual C++'s linker, is made from the
# DLL's exports with llvm-dlltool.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ZPLR_MSVC_ARCH i686)
  set(ZPLR_DLLTOOL_MACHINE i386)
else()
  set(ZPLR_MSVC_ARCH x86_64)
  set(ZPLR_DLLTOOL_MACHINE i386:x86-64)
endif()
set(ZPLR_MSVC_DEF ${CMAKE_CURRENT_SOURCE_DIR}/cmake/msvc/zPLR-${ZPLR_MSVC_ARCH}.def)

find_package(Python3 COMPONENTS Interpreter QUIET)
find_program(ZPLR_CLANG NAMES clang clang-14 clang-15 clang-16)
set(ZPLR_MSVC_CHECKED "")
if(Python3_Interpreter_FOUND AND ZPLR_CLANG)
  set(ZPLR_MSVC_CHECKED ${CMAKE_CURRENT_BINARY_DIR}/msvc-names.checked)
  add_custom_command(OUTPUT ${ZPLR_MSVC_CHECKED}
    COMMAND ${CMAKE_COMMAND} -E env CLANG=${ZPLR_CLANG}
            ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/msvc_names.py
            --arch ${ZPLR_MSVC_ARCH} --check ${ZPLR_MSVC_DEF} --stamp ${ZPLR_MSVC_CHECKED}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/zPLR.h ${CMAKE_CURRENT_SOURCE_DIR}/include/zPLR_host.h
            ${ZPLR_MSVC_DEF} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/msvc_names.py
    COMMENT "Visual C++ names of zPLR.h against ${ZPLR_MSVC_DEF}"
    VERBATIM)
else()
  message(STATUS "clang or Python 3 not found: the Visual C++ names are not checked against zPLR.h")
endif()

find_program(ZPLR_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 llvm-dlltool-16)

function(zplr_msvc_import_library)
  if(NOT ZPLR_LLVM_DLLTOOL)
    message(WARNING "llvm-dlltool not found: no zPLR.lib for Visual C++ (apt-get install llvm)")
    return()
  endif()
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/zPLR.lib)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${ZPLR_LLVM_DLLTOOL} -m ${ZPLR_DLLTOOL_MACHINE} -D zPLR.dll
            -d ${CMAKE_CURRENT_BINARY_DIR}/zPLR.def -l ${lib}
    DEPENDS zPLR
    COMMENT "zPLR.lib for Visual C++"
    VERBATIM)
  add_custom_target(zplr_msvc_lib ALL DEPENDS ${lib})
  install(FILES ${lib} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
