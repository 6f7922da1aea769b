# Signs Windows programs with Authenticode (osslsigncode) when a certificate is
# given, and says plainly when none is. Run by CPack before it packs (the
# programs) and by makensis (the uninstaller and the installer).
#
# cmake -DSETTINGS=sign-settings.cmake -DFILES="a.exe;b.exe" -P Sign.cmake
#
# The certificate comes from the environment at packaging time, else from the
# values configured into SETTINGS:
#   TAVRO_SIGN_PKCS12         the PKCS#12 file (certificate chain and key)
#   TAVRO_SIGN_PASSWORD_FILE  a file whose first line is its password, or
#   TAVRO_SIGN_PASSWORD       the password itself, in the environment only
#   TAVRO_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server; none by default
# The password never appears on a command line: osslsigncode reads it from a file.
#
# A program is signed once per content and certificate: the signed copy is kept
# under SIGNED_DIR (from SETTINGS) and reused, so that the ZIP and the
# installer carry the same bytes although a signature holds its signing time.

include("${SETTINGS}")
foreach(v TAVRO_SIGN_PKCS12 TAVRO_SIGN_PASSWORD_FILE TAVRO_SIGN_TIMESTAMP_URL)
  if(DEFINED ENV{${v}})
    set(${v} "$ENV{${v}}")
  endif()
endforeach()

if(TAVRO_SIGN_PKCS12 STREQUAL "")
  foreach(f IN LISTS FILES)
    get_filename_component(name "${f}" NAME)
    message(STATUS "NOT SIGNED: ${name} (no certificate: set TAVRO_SIGN_PKCS12, see cmake/Sign.cmake)")
  endforeach()
  return()
endif()

if(NOT OSSLSIGNCODE)
  message(FATAL_ERROR "signing needs osslsigncode (Debian package osslsigncode)")
endif()
if(NOT EXISTS "${TAVRO_SIGN_PKCS12}")
  message(FATAL_ERROR "TAVRO_SIGN_PKCS12: no file ${TAVRO_SIGN_PKCS12}")
endif()

file(MAKE_DIRECTORY "${SIGNED_DIR}")
file(CHMOD "${SIGNED_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(passFile "")
set(removePass FALSE)
if(DEFINED ENV{TAVRO_SIGN_PASSWORD})
  # Written where only this user can read it, and removed at once after use.
  string(RANDOM LENGTH 12 tag)
  set(passFile "${SIGNED_DIR}/pass-${tag}")
  file(TOUCH "${passFile}")
  file(CHMOD "${passFile}" PERMISSIONS OWNER_READ OWNER_WRITE)
  file(WRITE "${passFile}" "$ENV{TAVRO_SIGN_PASSWORD}")
  set(removePass TRUE)
elseif(NOT TAVRO_SIGN_PASSWORD_FILE STREQUAL "")
  if(NOT EXISTS "${TAVRO_SIGN_PASSWORD_FILE}")
    message(FATAL_ERROR "TAVRO_SIGN_PASSWORD_FILE: no file ${TAVRO_SIGN_PASSWORD_FILE}")
  endif()
  set(passFile "${TAVRO_SIGN_PASSWORD_FILE}")
endif()

set(args sign -pkcs12 "${TAVRO_SIGN_PKCS12}" -h sha256 -n "TavroDDE" )
if(NOT passFile STREQUAL "")
  list(APPEND args -readpass "${passFile}")
endif()
if(NOT TAVRO_SIGN_TIMESTAMP_URL STREQUAL "")
  list(APPEND args -ts "${TAVRO_SIGN_TIMESTAMP_URL}")
endif()

file(SHA256 "${TAVRO_SIGN_PKCS12}" certHash)
set(failed "")
foreach(f IN LISTS FILES)
  get_filename_component(name "${f}" NAME)
  file(SHA256 "${f}" inHash)
  set(cached "${SIGNED_DIR}/${name}-${inHash}-${certHash}")
  if(NOT EXISTS "${cached}")
    file(GLOB older "${SIGNED_DIR}/${name}-*")
    if(older)
      file(REMOVE ${older})
    endif()
    execute_process(COMMAND "${OSSLSIGNCODE}" ${args} -in "${f}" -out "${cached}.part"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      file(REMOVE "${cached}.part")
      string(APPEND failed "${name}: ${out}\n")
      continue()
    endif()
    file(RENAME "${cached}.part" "${cached}")
  endif()
  file(COPY_FILE "${cached}" "${f}")
  message(STATUS "signed: ${name} with ${TAVRO_SIGN_PKCS12}")
endforeach()
if(removePass)
  file(REMOVE "${passFile}")
endif()
if(NOT failed STREQUAL "")
  message(FATAL_ERROR "signing failed:\n${failed}")
endif()
