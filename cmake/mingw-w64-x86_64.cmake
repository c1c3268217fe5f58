# Cross-compiles for 64-bit Windows with the posix-threads MinGW-w64 compiler
# and runs target programs (tests, discovery) under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${RD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${RD_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages too: the build machine's own GoogleTest is no Windows library.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The wrapper pins the private prefix and quiet debug channels.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
