# Layer fences. A library sees the headers of its own layer and of the layers
# it links, and no others: its public include directory is a directory of its
# own in the build tree holding links to just the source paths it owns, so
# `#include "dde/Stock.h"` keeps its spelling, and an upward include (support
# reaching into platform, net into feed, ...) is not found and fails to build.
#
#   tavro_fence(<target> <PUBLIC|PRIVATE> <path>...)
# Each path (a directory or a file, relative to the source root) is linked at
# the same relative path under the fence directory.
function(tavro_fence target scope)
  string(TOLOWER ${scope} kind)
  set(fence ${PROJECT_BINARY_DIR}/fence/${target}.${kind})
  foreach(path ${ARGN})
    get_filename_component(parent ${fence}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${fence}/${path})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${fence}/${path} SYMBOLIC COPY_ON_ERROR)
    endif()
  endforeach()
  target_include_directories(${target} ${scope} ${fence})
endfunction()
