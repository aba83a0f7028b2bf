# Installation and packages.
#   Linux:   cmake --install puts the programs, their man pages, the udev rule and the Wireshark
#            dissector in their usual places; cpack builds a .deb.
#   Windows: the programs, the README and manual pages as text and the dissector at the top of a
#            .zip (what the MSI installs); the target msi builds the installer
#            halvern-<version>-x64.msi (packaging/msi: wixl and msibuild, on the Linux host).
include(GNUInstallDirs)

# example.org is reserved for examples: a maintainer address Debian's checker takes for a real one.
set(HALVERN_PACKAGE_CONTACT "halvern maintainers <halvern@example.org>" CACHE STRING
    "Maintainer named in the packages")
# A build tree made before keeps the local address in its cache: Debian refuses that one.
if(HALVERN_PACKAGE_CONTACT STREQUAL "halvern maintainers <halvern@localhost>")
  set_property(CACHE HALVERN_PACKAGE_CONTACT PROPERTY VALUE "halvern maintainers <halvern@example.org>")
endif()

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows_signing.cmake)
  install(TARGETS halvern halvern-trace halvern-extcap RUNTIME DESTINATION .)
  # What the MSI installs: the README and the manual pages as text for Notepad, the dissector.
  set(_texts README.txt halvern.txt halvern-trace.txt halvern-extcap.txt cpp-httplib-LICENSE.txt)
  list(TRANSFORM _texts PREPEND ${CMAKE_BINARY_DIR}/doc/ OUTPUT_VARIABLE _text_files)
  add_custom_command(OUTPUT ${_text_files}
    COMMAND ${CMAKE_COMMAND} -E env HALVERN_HTTPLIB_DIR=${HALVERN_HTTPLIB_DIR}
            bash ${CMAKE_SOURCE_DIR}/packaging/windows_docs.sh ${CMAKE_BINARY_DIR}/doc
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/windows_docs.sh ${CMAKE_SOURCE_DIR}/README.md
            ${CMAKE_SOURCE_DIR}/man/halvern.1 ${CMAKE_SOURCE_DIR}/man/halvern-trace.1
            ${CMAKE_SOURCE_DIR}/man/halvern-extcap.1
    VERBATIM)
  add_custom_target(windows-docs ALL DEPENDS ${_text_files})
  install(FILES ${_text_files} ${CMAKE_SOURCE_DIR}/tools/wireshark/halvern.lua DESTINATION .)
  add_custom_target(msi
    COMMAND ${HALVERN_SIGN_LAUNCHER} ${CMAKE_COMMAND} -E env HALVERN_HTTPLIB_DIR=${HALVERN_HTTPLIB_DIR}
            bash ${CMAKE_SOURCE_DIR}/packaging/msi/build_msi.sh ${PROJECT_VERSION}
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
  # Man pages and the changelog go in gzip -9n compressed (no name, no time stamp: the same
  # sources give the same package), as Debian has them.
  find_program(HALVERN_GZIP gzip REQUIRED)
  set(_gzipped)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man ${CMAKE_BINARY_DIR}/packaging/debian)
  foreach(_doc man/halvern.1 man/halvern-trace.1 man/halvern-extcap.1 man/rx5120-sim.1
               packaging/debian/changelog)
    set(_gz ${CMAKE_BINARY_DIR}/${_doc}.gz)
    add_custom_command(OUTPUT ${_gz}
      COMMAND ${HALVERN_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/${_doc} > ${_gz}
      DEPENDS ${CMAKE_SOURCE_DIR}/${_doc}
      VERBATIM)
    list(APPEND _gzipped ${_gz})
  endforeach()
  add_custom_target(halvern-docs ALL DEPENDS ${_gzipped})
  install(FILES
    ${CMAKE_BINARY_DIR}/man/halvern.1.gz
    ${CMAKE_BINARY_DIR}/man/halvern-trace.1.gz
    ${CMAKE_BINARY_DIR}/man/halvern-extcap.1.gz
    ${CMAKE_BINARY_DIR}/man/rx5120-sim.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-rx5120.rules DESTINATION ${HALVERN_UDEV_RULES_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/tools/wireshark/halvern.lua DESTINATION ${HALVERN_WIRESHARK_PLUGIN_DIR})
  install(TARGETS halvern-extcap RUNTIME DESTINATION ${HALVERN_WIRESHARK_EXTCAP_DIR})
  # The copyright file: ours, and the licence of the HTTP library built into halvern, which asks
  # for its notice in every copy.
  file(READ ${CMAKE_SOURCE_DIR}/packaging/debian/copyright _copyright)
  file(STRINGS ${HALVERN_HTTPLIB_DIR}/LICENSE _license_lines)
  file(STRINGS ${HALVERN_HTTPLIB_DIR}/LICENSE _holder REGEX "^Copyright \\(c\\) " LIMIT_COUNT 1)
  string(REGEX REPLACE "^Copyright \\(c\\) " "" _holder "${_holder}")
  string(APPEND _copyright "\nFiles: cpp-httplib\n"
         "Copyright: ${_holder}\n"
         "Comment: The single-header HTTP library cpp-httplib 0.11, from Debian's source package\n"
         " cpp-httplib, is built into /usr/bin/halvern (the station's page).\n"
         "License: MIT\n")
  foreach(_line IN LISTS _license_lines)
    if(_line STREQUAL "")
      string(APPEND _copyright " .\n")
    else()
      string(APPEND _copyright " ${_line}\n")
    endif()
  endforeach()
  string(REGEX REPLACE "( \\.\n)+$" "" _copyright "${_copyright}")
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/debian/copyright "${_copyright}")
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/packaging/debian/copyright
                ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The changelog's newest entry is the release the package carries.
  file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog _newest LIMIT_COUNT 1)
  string(REGEX MATCH "^halvern \\(([^)]*)\\)" _newest "${_newest}")
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/debian/changelog: the newest entry is of release '${CMAKE_MATCH_1}', "
                        "the release in project() is ${PROJECT_VERSION}")
  endif()
endif()

set(CPACK_PACKAGE_NAME "halvern")
set(CPACK_PACKAGE_VENDOR "halvern")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${HALVERN_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Servicing tool for the RX5120 USB DECT repeater")
# Lines of at most 80 columns: package tools show the description as it is written.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "halvern updates the firmware and PILL files of an RX5120 repeater, reads and\n"
    "writes its parameter area, sets its log level and shows its log, and records\n"
    "its DECT messages; halvern-trace reads the trace files, also as pcap for the\n"
    "Wireshark dissector that comes with it; halvern-extcap lets Wireshark capture\n"
    "the DECT messages live. rx5120-sim is a simulated repeater to try it all\n"
    "without hardware.")
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
  # The libraries the programs link, with the least versions their symbols need: decided when
  # cpack runs (cmake/deb_depends.cmake), so that tools installed after configuring count.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/deb_depends.cmake)
  # udev applies the rule; the dissector needs Wireshark or tshark.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")
endif()

include(CPack)
