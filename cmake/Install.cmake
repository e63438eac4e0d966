# What `cmake --install build --prefix P` puts under P: every header of
# include/, the library, zlbox, the virtual box as the static library zlsim
# with its headers under include/zlsim/, the CMake package zPLR and the
# pkg-config files zplr and zlsim. Nothing installed holds the prefix itself,
# so P may differ from CMAKE_INSTALL_PREFIX.
include(CMakePackageConfigHelpers)

set(ZPLR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zPLR)

# A directory rule, so headers added later need no entry here.
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
file(GLOB ZLSIM_HEADERS CONFIGURE_DEPENDS sim/*.h)
list(FILTER ZLSIM_HEADERS EXCLUDE REGEX "/BoxInternals\\.h$")  # sim/ only
install(FILES ${ZLSIM_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zlsim)

# zPLR.dll goes to bin/, its import library libzPLR.dll.a to lib/.
install(TARGETS zPLR zlsim EXPORT zPLRTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET zlbox)
  install(TARGETS zlbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    # Installed, zlbox finds libzPLR.so in the tree it came with.
    file(RELATIVE_PATH zlbox_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(zlbox PROPERTIES INSTALL_RPATH "$ORIGIN/${zlbox_to_lib}")
  endif()
endif()
if(MINGW)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zPLR.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# find_package(zPLR 3): zPLR::zPLR and zPLR::zlsim; any 3.x satisfies it.
install(EXPORT zPLRTargets NAMESPACE zPLR:: DESTINATION ${ZPLR_CMAKE_DIR})
configure_package_config_file(cmake/zPLRConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zPLRConfig.cmake INSTALL_DESTINATION ${ZPLR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zPLRConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zPLRConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/zPLRConfigVersion.cmake
        DESTINATION ${ZPLR_CMAKE_DIR})

# pkg-config finds the prefix from the file's own place (${pcfiledir}).
file(RELATIVE_PATH ZPLR_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZPLR_PC_PREFIX "${ZPLR_PC_PREFIX}")
foreach(pc zplr zlsim)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
