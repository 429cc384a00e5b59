# What builders of programs against the two libraries get, all in the -dev
# package: the headers and unversioned .so links (installed with the
# libraries), a pkg-config file for each library and the CMake package
# varnik_dio with the imported targets varnik_dio::varnik_dio and
# varnik_dio::board. Both are relocatable: they find the installation from
# their own place, so a prefix can be moved or unpacked anywhere.
include(CMakePackageConfigHelpers)

set(VARNIK_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varnik_dio)
set(VARNIK_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(VARNIK_DEVELOPMENT_COMPONENT libvarnik-dio-dev)

install(EXPORT varnik_dio_targets
  NAMESPACE varnik_dio::
  FILE varnik_dioTargets.cmake
  DESTINATION ${VARNIK_CMAKE_PACKAGE_DIR}
  COMPONENT ${VARNIK_DEVELOPMENT_COMPONENT})
configure_package_config_file(cmake/varnik_dioConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/varnik_dioConfig.cmake
  INSTALL_DESTINATION ${VARNIK_CMAKE_PACKAGE_DIR})
# A 32-bit program cannot use a 64-bit installation: the version file
# refuses one of the other word size.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/varnik_dioConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/cmake/varnik_dioConfig.cmake
    ${PROJECT_BINARY_DIR}/cmake/varnik_dioConfigVersion.cmake
  DESTINATION ${VARNIK_CMAKE_PACKAGE_DIR}
  COMPONENT ${VARNIK_DEVELOPMENT_COMPONENT})

# pkg-config: the prefix is found from the .pc file's own folder.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR must be relative to "
    "the prefix, so that the pkg-config files and the CMake package stay relocatable")
endif()
file(RELATIVE_PATH pkgconfig_to_prefix /prefix/${VARNIK_PKGCONFIG_DIR} /prefix)
set(VARNIK_PC_PREFIX "\${pcfiledir}/${pkgconfig_to_prefix}")
function(varnik_pkgconfig_file library description)
  set(VARNIK_PC_NAME ${library})
  set(VARNIK_PC_DESCRIPTION "${description}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/varnik_library.pc.in
    ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc
    DESTINATION ${VARNIK_PKGCONFIG_DIR}
    COMPONENT ${VARNIK_DEVELOPMENT_COMPONENT})
endfunction()
varnik_pkgconfig_file(varnik_dio "Digital I/O of the varnik board, one device access per call")
varnik_pkgconfig_file(varnik_dio_board "Digital I/O of the varnik board, held open: lines, groups, events")

varnik_debian_package(${VARNIK_DEVELOPMENT_COMPONENT}
  SECTION libdevel
  SUMMARY "digital I/O of the varnik board - development files"
  DESCRIPTION "Headers, unversioned library links, pkg-config files
    (varnik_dio, varnik_dio_board) and the CMake package varnik_dio with the
    imported targets varnik_dio::varnik_dio and varnik_dio::board, for
    building programs against the driver library and the board API. Also
    their manual pages, varnik_dio(3) and varnik_dio_board(3)."
  DEPENDS_ON libvarnik-dio1 libvarnik-dio-board1)
