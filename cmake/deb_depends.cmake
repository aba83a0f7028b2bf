# Read by cpack when it runs: the .deb's dependencies with their least versions, as dpkg-shlibdeps
# (dpkg-dev) finds them from the programs' symbols (cpack needs the file program for that too).
# Without those tools the package names the libraries without versions, and says so.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(HALVERN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(HALVERN_FILE_TOOL file)
  if(HALVERN_DPKG_SHLIBDEPS AND HALVERN_FILE_TOOL)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    message(WARNING "halvern: dpkg-shlibdeps or file missing (apt-get install dpkg-dev file): "
                    "the package's dependencies carry no versions")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
endif()
