# Installation as C++ users and packagers expect: GNUInstallDirs folders, the library with its
# frozen ABI (SOVERSION 1), update_lib.h, a CMake package (find_package(update_lib) gives the
# imported target update_lib::update_lib) and a pkg-config file, the programs, and the installer
# service's systemd units.  `make package` turns the same rules into a .deb with CPack.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(update_lib PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)

install(TARGETS update_lib EXPORT update_lib_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/update/update_lib/host_include/update_lib.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT update_lib_targets NAMESPACE update_lib:: FILE update_libTargets.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/update_lib COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/update_libConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/update_libConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/update_lib)
# The ABI is frozen: any 3.x library serves a host built against any other 3.x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/update_libConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/update_libConfig.cmake
  ${PROJECT_BINARY_DIR}/packaging/update_libConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/update_lib COMPONENT development)
file(RELATIVE_PATH PC_PREFIX_FROM_PCFILEDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/packaging/update_lib.pc.in
  ${PROJECT_BINARY_DIR}/packaging/update_lib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/update_lib.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(TARGETS tavori-update tavori-update-service
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS tavori-installer-service
  RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT runtime)
set(TAVORI_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd units go, relative to the prefix")
foreach(unit tavori-installer.service tavori-installer.socket)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/systemd/${unit}.in
    ${PROJECT_BINARY_DIR}/packaging/systemd/${unit} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/systemd/${unit}
    DESTINATION ${TAVORI_SYSTEMD_UNIT_DIR} COMPONENT runtime)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavori-update)
set(CPACK_PACKAGE_VENDOR "Halvern")
set(CPACK_PACKAGE_CONTACT "Tavori update team <tavori-update@halvern.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Update engine of the Tavori meeting client: library, command-line client, services")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
include(CPack)
