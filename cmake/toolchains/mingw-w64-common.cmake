# Shared part of the mingw-w64 toolchain files: set CMAKE_SYSTEM_PROCESSOR (i686 or
# x86_64), then include this.
set(CMAKE_SYSTEM_NAME Windows)

set(_mingw ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
# The posix thread model: std::mutex and std::thread need it with GCC 12.
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
