# Authenticode signing of what the Windows build ships: the three programs in the .zip and in the
# MSI, and the MSI itself (packaging/windows/sign.sh, with osslsigncode). Off unless
# HALVERN_SIGN_PFX names a certificate; then every signature is checked as it is made.
#
# A code-signing certificate reaches its owner as a .pfx (PKCS#12: the certificate, its key and
# the issuer's chain, under a password), and that is also what the Windows certificate store
# exports; the chain travels into each signature from it. The password is read from a file, so it
# shows neither in the cache nor on any command line.
#
# The programs are signed after the last change to them: cpack and build_msi.sh strip their own
# copies, so the copies are signed (the .zip's in a cpack pre-build script, after its strip; the
# MSI's in build_msi.sh, after its strip), never the build tree's.
set(HALVERN_SIGN_PFX "" CACHE FILEPATH
    "Code-signing certificate with key (.pfx): signs the programs and the MSI (empty: no signing)")
set(HALVERN_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of HALVERN_SIGN_PFX")
set(HALVERN_SIGN_CA "" CACHE FILEPATH
    "CA certificates (PEM) the signatures are checked against (empty: the .pfx's own certificate)")
set(HALVERN_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamp server for the signatures (empty: none; signing then needs no network)")

# Run the msi target's script under this (empty: unsigned, as before).
set(HALVERN_SIGN_LAUNCHER)
if(HALVERN_SIGN_PFX)
  foreach(_file HALVERN_SIGN_PFX HALVERN_SIGN_PASSWORD_FILE HALVERN_SIGN_CA)
    if(${_file} AND NOT EXISTS "${${_file}}")
      message(FATAL_ERROR "${_file}: ${${_file}} does not exist")
    endif()
  endforeach()
  find_program(HALVERN_OSSLSIGNCODE osslsigncode)
  find_program(HALVERN_OPENSSL openssl)
  if(NOT HALVERN_OSSLSIGNCODE OR NOT HALVERN_OPENSSL)
    message(FATAL_ERROR "HALVERN_SIGN_PFX is set: signing needs osslsigncode and openssl "
                        "(Debian packages osslsigncode, openssl)")
  endif()
  set(_sign_env
      HALVERN_SIGN_PFX=${HALVERN_SIGN_PFX}
      HALVERN_SIGN_PASSWORD_FILE=${HALVERN_SIGN_PASSWORD_FILE}
      HALVERN_SIGN_CA=${HALVERN_SIGN_CA}
      HALVERN_SIGN_TIMESTAMP_URL=${HALVERN_SIGN_TIMESTAMP_URL})
  set(HALVERN_SIGN_LAUNCHER ${CMAKE_COMMAND} -E env ${_sign_env})

  # cpack runs this after its strip, on the files it is about to pack.
  set(CPACK_HALVERN_SIGN_SCRIPT ${CMAKE_SOURCE_DIR}/packaging/windows/sign.sh)
  set(CPACK_HALVERN_SIGN_ENV ${_sign_env})
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/sign_package.cmake)
endif()
