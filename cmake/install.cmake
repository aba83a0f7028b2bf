# Installation and packages.
#   Linux:   cmake --install puts the programs, their man pages, the udev rule and the Wireshark
#            dissector in their usual places; cpack builds a .deb.
#   Windows: the programs and the README at the top of a .zip; the target msi builds the installer
#            halvern-<version>-x64.msi (packaging/msi: wixl and msibuild, on the Linux host).
include(GNUInstallDirs)

set(HALVERN_PACKAGE_CONTACT "halvern maintainers <halvern@localhost>" CACHE STRING
    "Maintainer named in the packages")

if(WIN32)
  install(TARGETS halvern halvern-trace halvern-extcap RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  add_custom_target(msi
    COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/msi/build_msi.sh ${PROJECT_VERSION}
            ${CMAKE_BINARY_DIR}/halvern-${PROJECT_VERSION}-x64.msi
            $<TARGET_FILE:halvern> $<TARGET_FILE:halvern-trace> $<TARGET_FILE:halvern-extcap>
    COMMENT "Building halvern-${PROJECT_VERSION}-x64.msi"
    VERBATIM)
  add_dependencies(msi halvern halvern-trace halvern-extcap)
else()
  # udev reads <prefix>/lib/udev/rules.d for prefix /usr; Wireshark loads Lua plugins from
  # <libdir>/wireshark/plugins.
  set(HALVERN_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule goes (relative: under the prefix)")
  if(CMAKE_LIBRARY_ARCHITECTURE)
    set(_wireshark_plugins "lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins")
  else()
    set(_wireshark_plugins "lib/wireshark/plugins")
  endif()
  set(HALVERN_WIRESHARK_PLUGIN_DIR "${_wireshark_plugins}" CACHE STRING
      "Where the Wireshark dissector goes (relative: under the prefix)")
  # Wireshark looks for capture interface programs in its global extcap folder only.
  string(REPLACE "/plugins" "/extcap" _wireshark_extcap "${_wireshark_plugins}")
  set(HALVERN_WIRESHARK_EXTCAP_DIR "${_wireshark_extcap}" CACHE STRING
      "Where halvern-extcap goes (relative: under the prefix)")

  set(_programs halvern halvern-trace)
  if(TARGET rx5120-sim)
    list(APPEND _programs rx5120-sim)
  endif()
  install(TARGETS ${_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES
    ${CMAKE_SOURCE_DIR}/man/halvern.1
    ${CMAKE_SOURCE_DIR}/man/halvern-trace.1
    ${CMAKE_SOURCE_DIR}/man/halvern-extcap.1
    ${CMAKE_SOURCE_DIR}/man/rx5120-sim.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-rx5120.rules DESTINATION ${HALVERN_UDEV_RULES_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/tools/wireshark/halvern.lua DESTINATION ${HALVERN_WIRESHARK_PLUGIN_DIR})
  install(TARGETS halvern-extcap RUNTIME DESTINATION ${HALVERN_WIRESHARK_EXTCAP_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME "halvern")
set(CPACK_PACKAGE_VENDOR "halvern")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${HALVERN_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Servicing tool for the RX5120 USB DECT repeater")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "halvern updates the firmware and PILL files of an RX5120 repeater, reads and writes its parameter area, "
    "sets its log level and shows its log, and records its DECT messages; halvern-trace reads the trace "
    "files, also as pcap for the Wireshark dissector that comes with it; halvern-extcap lets Wireshark "
    "capture the DECT messages live. rx5120-sim is a simulated "
    "repeater to try it all without hardware.")
set(CPACK_RESOURCE_FILE_README "${CMAKE_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME "halvern-${PROJECT_VERSION}-windows")
else()
  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
  # The libraries the programs link, as the system's tool finds them; a plain list without it.
  find_program(HALVERN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(HALVERN_FILE_TOOL file)
  if(HALVERN_DPKG_SHLIBDEPS AND HALVERN_FILE_TOOL)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
  # udev applies the rule; the dissector needs Wireshark or tshark.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")
endif()

include(CPack)
