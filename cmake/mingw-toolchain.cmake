# Shared part of the MinGW-w64 cross toolchains; the including file sets
# CMAKE_SYSTEM_PROCESSOR (i686 or x86_64) first.
# The -posix compilers: their C++ runtime has std::mutex and std::thread (the
# -win32 variant of this compiler release has neither); linked statically,
# its thread library adds no DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(QUODRA_MINGW ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${QUODRA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUODRA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QUODRA_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUODRA_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
