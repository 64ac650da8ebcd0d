# Install rules: headers under include/StdException, the shared library with
# its SONAME links, a CMake package exporting Quorbel::StdException (with the
# functions of StdExceptionHelpers.cmake) and a pkg-config file.
# Components: "runtime" is the shared library (and a DLL), "development" all
# the rest, the default of every rule below that names no component.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(stdexception_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/StdException")
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME development)

install(TARGETS StdException EXPORT StdExceptionTargets
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    FILE_SET HEADERS DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(EXPORT StdExceptionTargets NAMESPACE Quorbel::
    DESTINATION "${stdexception_cmake_dir}")

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/StdExceptionConfig.cmake.in"
    "${PROJECT_BINARY_DIR}/StdExceptionConfig.cmake"
    INSTALL_DESTINATION "${stdexception_cmake_dir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/StdExceptionConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/StdExceptionConfig.cmake"
              "${PROJECT_BINARY_DIR}/StdExceptionConfigVersion.cmake"
              "${CMAKE_CURRENT_LIST_DIR}/StdExceptionHelpers.cmake"
    DESTINATION "${stdexception_cmake_dir}")

# The pkg-config file names the prefix it is installed into (given to
# cmake --install --prefix, so known only at install time) as an absolute
# path: a prefix relative to ${pcfiledir} would point elsewhere once the file
# is copied or linked into another pkg-config directory.
set(pc_prefix "@pc_install_prefix@")
configure_file("${CMAKE_CURRENT_LIST_DIR}/StdException.pc.in"
    "${PROJECT_BINARY_DIR}/StdException.pc.in" @ONLY)
install(CODE "
    get_filename_component(pc_install_prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    configure_file(\"${PROJECT_BINARY_DIR}/StdException.pc.in\" \"${PROJECT_BINARY_DIR}/StdException.pc\" @ONLY)")
install(FILES "${PROJECT_BINARY_DIR}/StdException.pc"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# StdExceptionJournal.pc: what an application that includes
# <StdException/Journal> links, the library and libsystemd.
file(WRITE "${PROJECT_BINARY_DIR}/StdExceptionJournal.pc"
"Name: StdExceptionJournal
Description: StdException's reporting strategy for the systemd journal
Version: ${PROJECT_VERSION}
Requires: StdException libsystemd
")
install(FILES "${PROJECT_BINARY_DIR}/StdExceptionJournal.pc"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
