# cpack pre-build script of a signing Windows build (cmake/windows_signing.cmake): signs the
# programs in cpack's staging folder, after cpack stripped them and before it packs them.
file(GLOB_RECURSE _programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.exe")
if(NOT _programs)
  message(FATAL_ERROR "sign_package: no programs in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(_setting IN LISTS CPACK_HALVERN_SIGN_ENV)
  string(REGEX MATCH "^([^=]*)=(.*)$" _ "${_setting}")
  set(ENV{${CMAKE_MATCH_1}} "${CMAKE_MATCH_2}")
endforeach()
execute_process(COMMAND bash ${CPACK_HALVERN_SIGN_SCRIPT} ${_programs} RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "sign_package: signing the programs failed")
endif()
