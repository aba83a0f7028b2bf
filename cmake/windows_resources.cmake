# Windows: each program carries a manifest (asInvoker, long-path aware, UTF-8 as its ANSI code
# page), the icon (packaging/windows/halvern.ico) and version information (the release, product
# name, description, copyright), made from packaging/windows/program.{manifest,rc}.in.
if(NOT WIN32)
  return()
endif()
enable_language(RC)
set(VERSION4 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0")
set(VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},0,0")
set(ICON_FILE ${CMAKE_SOURCE_DIR}/packaging/windows/halvern.ico)
foreach(_program halvern halvern-trace halvern-extcap)
  if(_program STREQUAL "halvern")
    set(DESCRIPTION "Servicing tool for the RX5120 USB DECT repeater")
  elseif(_program STREQUAL "halvern-trace")
    set(DESCRIPTION "Reader of RX5120 DECT trace files")
  else()
    set(DESCRIPTION "Live capture of RX5120 DECT messages for Wireshark")
  endif()
  set(PROGRAM ${_program})
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.manifest.in
                 ${CMAKE_BINARY_DIR}/resources/${_program}.manifest @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.rc.in
                 ${CMAKE_BINARY_DIR}/resources/${_program}.rc @ONLY)
  target_sources(${_program} PRIVATE ${CMAKE_BINARY_DIR}/resources/${_program}.rc)
  set_source_files_properties(${CMAKE_BINARY_DIR}/resources/${_program}.rc PROPERTIES OBJECT_DEPENDS ${ICON_FILE})
endforeach()
# The unit tests carry the programs' manifest: they meet file names and text in the code page the
# programs run with (UTF-8).
if(TARGET halvern_tests)
  set(PROGRAM halvern_tests)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.manifest.in
                 ${CMAKE_BINARY_DIR}/resources/halvern_tests.manifest @ONLY)
  file(WRITE ${CMAKE_BINARY_DIR}/resources/halvern_tests.rc "1 24 \"halvern_tests.manifest\"\n")
  target_sources(halvern_tests PRIVATE ${CMAKE_BINARY_DIR}/resources/halvern_tests.rc)
endif()
