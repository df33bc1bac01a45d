# Cross build for Windows (x86_64) with Debian's mingw-w64 compilers
# (packages g++-mingw-w64-x86-64). The win32 thread model is used so
# that programs need no threading DLL beside the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VX7_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VX7_MINGW_PREFIX}-gcc-win32 ${VX7_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VX7_MINGW_PREFIX}-g++-win32 ${VX7_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VX7_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VX7_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
