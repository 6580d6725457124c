# Install rules of the engine library: the public headers, the static
# library, the CMake package korvane (target korvane::engine) and korvane.pc.
# Everything belongs to the component "devel", so the Python wheel, which
# installs only the component "python", carries none of it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KORVANE_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/korvane")

install(TARGETS korvane_engine EXPORT korvaneTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT devel)
install(DIRECTORY include/korvane
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT devel
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT korvaneTargets
  NAMESPACE korvane::
  DESTINATION "${KORVANE_CMAKE_DIR}" COMPONENT devel)

configure_package_config_file(cmake/korvaneConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake"
  INSTALL_DESTINATION "${KORVANE_CMAKE_DIR}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion)
install(FILES
  "${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake"
  DESTINATION "${KORVANE_CMAKE_DIR}" COMPONENT devel)

# korvane.pc names its prefix relative to its own directory, so a package
# installed with `cmake --install --prefix P` or moved later stays valid.
set(KORVANE_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH KORVANE_PC_TO_PREFIX "/prefix/${KORVANE_PC_DIR}" "/prefix")
string(REGEX REPLACE "/$" "" KORVANE_PC_TO_PREFIX "${KORVANE_PC_TO_PREFIX}")
configure_file(cmake/korvane.pc.in "${CMAKE_CURRENT_BINARY_DIR}/korvane.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/korvane.pc"
  DESTINATION "${KORVANE_PC_DIR}" COMPONENT devel)
