# cmake --install: the library with its SONAME links, the public headers under <prefix>/include/snl
# (so that applications write #include <snl/snl.h>), pkg-config's snl.pc, the CMake package for
# find_package(snl) giving snl::snl, and the system files: the udev rule and the keep-alive unit.
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/PublicHeaders.cmake)

option(SNL_INSTALL_SYSTEM_FILES "Install the udev rule and the systemd unit" ON)
set(SNL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "udev rules directory, relative to the prefix")
set(SNL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "systemd unit directory, relative to the prefix")
set(SNL_GROUP "snl" CACHE STRING "Group given access to the boards by the udev rule")

install(TARGETS snl EXPORT snlTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT devel)

snl_public_headers(SNL_INSTALLED_HEADERS snl/snl.h snl/SNLKVAInternal.h)
foreach(header IN LISTS SNL_INSTALLED_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/snl/${dir} COMPONENT devel)
endforeach()

# snl.pc finds its prefix from its own location, so the installed tree can be moved (or installed
# with cmake --install --prefix elsewhere than configured).
file(RELATIVE_PATH SNL_PC_PREFIX_FROM_PCDIR
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" SNL_PC_PREFIX_FROM_PCDIR "${SNL_PC_PREFIX_FROM_PCDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/snl.pc.in ${CMAKE_BINARY_DIR}/snl.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/snl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT devel)

set(SNL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/snl)
install(EXPORT snlTargets NAMESPACE snl:: DESTINATION ${SNL_CMAKE_DIR} COMPONENT devel)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/snlConfig.cmake.in
  ${CMAKE_BINARY_DIR}/snlConfig.cmake INSTALL_DESTINATION ${SNL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/snlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/snlConfig.cmake ${CMAKE_BINARY_DIR}/snlConfigVersion.cmake
  DESTINATION ${SNL_CMAKE_DIR} COMPONENT devel)

if(SNL_INSTALL_SYSTEM_FILES)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/60-snl-watchdog.rules.in
    ${CMAKE_BINARY_DIR}/packaging/60-snl-watchdog.rules @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/snl-keepalive@.service.in
    ${CMAKE_BINARY_DIR}/packaging/snl-keepalive@.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/60-snl-watchdog.rules
    DESTINATION ${SNL_UDEV_RULES_DIR})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/snl-keepalive@.service
    DESTINATION ${SNL_SYSTEMD_UNIT_DIR})
endif()
