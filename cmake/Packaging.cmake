# The Windows release: a ZIP and a per-user installer (NSIS, makensis), both
# made by `cmake --build --preset mingw --target package`. The feed host is
# compiled in, so every package names the host it was built for: in its file
# name and in the first lines of the guide it carries.

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

# The guide as shipped: the host line first, then docs/spreadsheets.md.
set(TAVRO_GUIDE ${PROJECT_SOURCE_DIR}/docs/spreadsheets.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAVRO_GUIDE})
file(READ ${TAVRO_GUIDE} TAVRO_GUIDE_TEXT)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/package/spreadsheets.md
  CONTENT "> This copy of TavroDDE ${PROJECT_VERSION} connects to the feed server **${TAVRO_FEED_HOST}** \
(port 7000, else port 80). It was built for that host and cannot be pointed elsewhere.\n\n${TAVRO_GUIDE_TEXT}"
  @ONLY)

install(TARGETS TavroDDE ddeclient_win32 RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/res/NOTICE.txt DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/package/spreadsheets.md DESTINATION guide)
file(GLOB TAVRO_GUIDE_IMAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${TAVRO_GUIDE_IMAGES} DESTINATION guide)

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
include(CPack)
