# The Windows release: a ZIP and a per-user installer (NSIS, makensis), both
# made by `cmake --build --preset mingw --target package`. The feed host is
# compiled in, so every package names the host it was built for: in its file
# name and in the first lines of the guide it carries, which also say whether
# the package is signed.

if(NOT WIN32)
  return()
endif()

if(TAVRO_FEED_HOST STREQUAL "")
  message(FATAL_ERROR "TAVRO_FEED_HOST is empty: name the feed server, as in "
    "TAVRO_FEED_HOST=feed.example.com cmake --preset windows, or -DTAVRO_FEED_HOST=feed.example.com")
endif()

set(TAVRO_VERSION_PATCH 0)
if(NOT PROJECT_VERSION_PATCH STREQUAL "")
  set(TAVRO_VERSION_PATCH ${PROJECT_VERSION_PATCH})
endif()

# A host name is letters, digits, dots and hyphens; anything else would not
# survive as part of a file name.
string(REGEX REPLACE "[^A-Za-z0-9.-]" "_" TAVRO_HOST_IN_NAME "${TAVRO_FEED_HOST}")

# Authenticode signing of both programs, the uninstaller and the installer
# (cmake/Sign.cmake). Each setting may also come from the environment of the
# build, which wins; with no certificate the package is unsigned and says so.
set(TAVRO_SIGN_PKCS12 "$ENV{TAVRO_SIGN_PKCS12}" CACHE FILEPATH
  "PKCS#12 file (certificate and key) to sign the Windows programs and installer with; empty: unsigned")
set(TAVRO_SIGN_PASSWORD_FILE "$ENV{TAVRO_SIGN_PASSWORD_FILE}" CACHE FILEPATH
  "File holding the PKCS#12 password (or set TAVRO_SIGN_PASSWORD in the environment)")
set(TAVRO_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 time-stamp server for the signatures; empty: no time stamp")
find_program(OSSLSIGNCODE osslsigncode)
set(TAVRO_SIGN_SETTINGS ${PROJECT_BINARY_DIR}/package/sign-settings.cmake)
file(CONFIGURE OUTPUT ${TAVRO_SIGN_SETTINGS} CONTENT [[
set(TAVRO_SIGN_PKCS12 "@TAVRO_SIGN_PKCS12@")
set(TAVRO_SIGN_PASSWORD_FILE "@TAVRO_SIGN_PASSWORD_FILE@")
set(TAVRO_SIGN_TIMESTAMP_URL "@TAVRO_SIGN_TIMESTAMP_URL@")
set(OSSLSIGNCODE "@OSSLSIGNCODE@")
set(SIGNED_DIR "@PROJECT_BINARY_DIR@/package/signed")
]] @ONLY)
if(TAVRO_SIGN_PKCS12 STREQUAL "")
  message(STATUS "Windows package: NOT SIGNED (no TAVRO_SIGN_PKCS12)")
else()
  message(STATUS "Windows package: signed with ${TAVRO_SIGN_PKCS12}")
endif()

# The guide as shipped: one HTML page, rendered from docs/spreadsheets.md by
# cmark, its screenshots inline, opened by the feed host and whether this copy
# is signed. Rendered at every build, so that a certificate named in the
# environment shows in the guide of the package it signs.
find_program(CMARK cmark)
find_program(BASE64 base64)
if(NOT CMARK OR NOT BASE64)
  message(FATAL_ERROR "The Windows package's guide needs cmark and base64 (Debian packages cmark, coreutils)")
endif()
set(TAVRO_GUIDE_HTML ${PROJECT_BINARY_DIR}/package/TavroDDE-guide.html)
add_custom_target(guide ALL
  COMMAND ${CMAKE_COMMAND} -DCMARK=${CMARK} -DBASE64=${BASE64}
    -DGUIDE=${PROJECT_SOURCE_DIR}/docs/spreadsheets.md -DOUTPUT=${TAVRO_GUIDE_HTML}
    -DFEED_HOST=${TAVRO_FEED_HOST} -DVERSION=${PROJECT_VERSION} -DSETTINGS=${TAVRO_SIGN_SETTINGS}
    -P ${PROJECT_SOURCE_DIR}/cmake/RenderGuide.cmake
  BYPRODUCTS ${TAVRO_GUIDE_HTML}
  COMMENT "Rendering the guide (TavroDDE-guide.html)"
  VERBATIM)

install(TARGETS TavroDDE ddeclient_win32 RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/res/NOTICE.txt ${TAVRO_GUIDE_HTML} DESTINATION .)
# Both packages take the same signed bytes: the signed copy is kept and reused.
install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" -DSETTINGS=${TAVRO_SIGN_SETTINGS}
    \"-DFILES=\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/TavroDDE.exe;\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/ddeclient.exe\"
    -P \"${PROJECT_SOURCE_DIR}/cmake/Sign.cmake\" COMMAND_ERROR_IS_FATAL ANY)")

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME TavroDDE)
set(CPACK_PACKAGE_VENDOR TAVRO)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${TAVRO_VERSION_PATCH})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Live market data from the TAVRO feed in spreadsheets, over DDE")
set(CPACK_PACKAGE_FILE_NAME TavroDDE-${PROJECT_VERSION}-win64-${TAVRO_HOST_IN_NAME})
set(CPACK_PACKAGE_INSTALL_DIRECTORY TavroDDE)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/res/NOTICE.txt)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# The installer script is ours (cmake/NSIS.template.in): CPack's own installs
# for every user and needs administrator rights.
list(PREPEND CMAKE_MODULE_PATH ${PROJECT_SOURCE_DIR}/cmake)
set(CPACK_NSIS_DISPLAY_NAME "TavroDDE ${PROJECT_VERSION} (${TAVRO_FEED_HOST})")
# CPack hands only CPACK_* variables to the template.
set(CPACK_TAVRO_ICON ${PROJECT_SOURCE_DIR}/res/TavroDDE.ico)
set(CPACK_TAVRO_FILE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${TAVRO_VERSION_PATCH}.0)
set(CPACK_TAVRO_FEED_HOST ${TAVRO_FEED_HOST})
# makensis signs the uninstaller before it embeds it, and the installer last.
# (CPack passes no quotes through: the paths must be free of blanks.)
set(CPACK_TAVRO_SIGN "${CMAKE_COMMAND} -DSETTINGS=${TAVRO_SIGN_SETTINGS} -DFILES=%1 -P ${PROJECT_SOURCE_DIR}/cmake/Sign.cmake")
include(CPack)
