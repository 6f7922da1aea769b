# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The runtime is linked statically so that the executables need no extra DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVRO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVRO_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TAVRO_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TAVRO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release executables are stripped when linked, so that the programs the tests
# run are byte for byte the ones the packages carry (stripping a copy later
# would stamp it anew).
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
