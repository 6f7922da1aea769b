# Fails when a source file includes through a parent directory ("../"): such
# an include reaches past the layer fences (Fence.cmake), which only decide
# what an include spelled from the source root can find.
#
#   cmake -DSOURCE_DIR=<root> -P NoParentIncludes.cmake
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<root> -P NoParentIncludes.cmake")
endif()

file(GLOB tops LIST_DIRECTORIES true RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
set(offences "")
set(scanned 0)
foreach(top ${tops})
  # Build trees and the repository's own data are not sources.
  if(top MATCHES "^(build.*|\\..*)$" OR NOT IS_DIRECTORY ${SOURCE_DIR}/${top})
    continue()
  endif()
  file(GLOB_RECURSE files ${SOURCE_DIR}/${top}/*.cpp ${SOURCE_DIR}/${top}/*.h ${SOURCE_DIR}/${top}/*.c
       ${SOURCE_DIR}/${top}/*.cc ${SOURCE_DIR}/${top}/*.hpp ${SOURCE_DIR}/${top}/*.rc ${SOURCE_DIR}/${top}/*.in)
  foreach(f ${files})
    math(EXPR scanned "${scanned} + 1")
    file(STRINGS ${f} hits REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*[/\\\\])?\\.\\.[/\\\\]")
    foreach(h ${hits})
      file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
      string(STRIP "${h}" h)
      list(APPEND offences "${rel}: ${h}")
    endforeach()
  endforeach()
endforeach()

if(scanned EQUAL 0)
  message(FATAL_ERROR "no sources found under ${SOURCE_DIR}")
endif()
if(offences)
  list(JOIN offences "\n  " text)
  message(FATAL_ERROR "include through a parent directory; spell it from the source root:\n  ${text}")
endif()
message(STATUS "${scanned} files, no include through a parent directory")
