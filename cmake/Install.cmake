# cmake --install: the library and the toolkit library with their SONAME links, the public headers under <prefix>/include/snl
# (so that applications write #include <snl/snl.h> and #include "DOdudo/KLogger.h"), pkg-config's
# snl.pc and snl-toolkit.pc, the CMake package for find_package(snl) giving snl::snl and snl::toolkit,
# the manual pages found under man/, and the system files: the udev
# rule, the keep-alive unit and the tmpfiles.d entry for the log and lock directories.
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/PublicHeaders.cmake)

option(SNL_INSTALL_SYSTEM_FILES "Install the udev rule and the systemd unit" ON)
set(SNL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "udev rules directory, relative to the prefix")
set(SNL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "systemd unit directory, relative to the prefix")
set(SNL_GROUP "snl" CACHE STRING "Group given access to the boards by the udev rule")

install(TARGETS snl snl_toolkit EXPORT snlTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT devel)

snl_installed_headers(SNL_INSTALLED_HEADERS)
foreach(header IN LISTS SNL_INSTALLED_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/snl/${dir} COMPONENT devel)
endforeach()

# snl.pc finds its prefix from its own location, so the installed tree can be moved (or installed
# with cmake --install --prefix elsewhere than configured).
file(RELATIVE_PATH SNL_PC_PREFIX_FROM_PCDIR
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" SNL_PC_PREFIX_FROM_PCDIR "${SNL_PC_PREFIX_FROM_PCDIR}")
# Each names yaml-cpp in Requires: the YAML reloader's headers hand out its types.
foreach(pc IN ITEMS snl snl-toolkit)
  if(pc STREQUAL "snl")
    set(SNL_PC_NAME snl)
    set(SNL_PC_DESCRIPTION "C interface to USB watchdog boards, with the toolkit it carries")
  else()
    set(SNL_PC_NAME snl-toolkit)
    set(SNL_PC_DESCRIPTION "The toolkit of libsnl alone (no watchdog controller, no board touched)")
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/snl.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT devel)
endforeach()

# Manual pages: every man/*.1 and man/*.8 there is.
file(GLOB SNL_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.[18])
foreach(page IN LISTS SNL_MAN_PAGES)
  string(REGEX REPLACE ".*\\.([18])$" "\\1" section ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# Bash completion for snlctl.
set(SNL_BASH_COMPLETION_DIR "share/bash-completion/completions" CACHE STRING
  "bash completion directory, relative to the prefix")
install(FILES ${CMAKE_SOURCE_DIR}/packaging/snlctl.bash-completion
  DESTINATION ${SNL_BASH_COMPLETION_DIR} RENAME snlctl)

set(SNL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/snl)
install(EXPORT snlTargets NAMESPACE snl:: DESTINATION ${SNL_CMAKE_DIR} COMPONENT devel)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/snlConfig.cmake.in
  ${CMAKE_BINARY_DIR}/snlConfig.cmake INSTALL_DESTINATION ${SNL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/snlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/snlConfig.cmake ${CMAKE_BINARY_DIR}/snlConfigVersion.cmake
  DESTINATION ${SNL_CMAKE_DIR} COMPONENT devel)

set(SNL_TMPFILES_DIR "lib/tmpfiles.d" CACHE STRING "tmpfiles.d directory, relative to the prefix")
set(SNL_LOG_RETENTION "30d" CACHE STRING
  "Age after which systemd-tmpfiles removes rotated log files (/var/log/tolma/old)")

if(SNL_INSTALL_SYSTEM_FILES)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/60-snl-watchdog.rules.in
    ${CMAKE_BINARY_DIR}/packaging/60-snl-watchdog.rules @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/snl.tmpfiles.in
    ${CMAKE_BINARY_DIR}/packaging/snl.conf @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/60-snl-watchdog.rules
    DESTINATION ${SNL_UDEV_RULES_DIR})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/snl.conf DESTINATION ${SNL_TMPFILES_DIR})
  # The units (every packaging/*.service.in: the keep-alive template, snllogd's when there) name
  # the tools by their installed paths, which are known only when installing: cmake --install
  # --prefix may choose another prefix than the one configured.
  file(GLOB SNL_UNITS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/packaging/*.service.in)
  foreach(unit_in IN LISTS SNL_UNITS)
    get_filename_component(unit_name ${unit_in} NAME)
    string(REGEX REPLACE "\\.in$" "" unit_name ${unit_name})
    install(CODE "
      set(bindir \"${CMAKE_INSTALL_BINDIR}\")
      if(NOT IS_ABSOLUTE \"\${bindir}\")
        set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
      endif()
      file(READ \"${unit_in}\" unit)
      string(REPLACE \"@SNLCTL@\" \"\${bindir}/snlctl\" unit \"\${unit}\")
      string(REPLACE \"@SNLLOGD@\" \"\${bindir}/snllogd\" unit \"\${unit}\")
      string(REPLACE \"@SNL_GROUP@\" \"${SNL_GROUP}\" unit \"\${unit}\")
      file(WRITE \"${CMAKE_BINARY_DIR}/packaging/install/${unit_name}\" \"\${unit}\")
      set(unitdir \"${SNL_SYSTEMD_UNIT_DIR}\")
      if(NOT IS_ABSOLUTE \"\${unitdir}\")
        set(unitdir \"\${CMAKE_INSTALL_PREFIX}/\${unitdir}\")
      endif()
      file(INSTALL DESTINATION \"\${unitdir}\" TYPE FILE
        FILES \"${CMAKE_BINARY_DIR}/packaging/install/${unit_name}\")
    ")
  endforeach()
endif()
