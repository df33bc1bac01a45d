# Cross build for Windows (i686) with Debian's mingw-w64 compilers
# (packages g++-mingw-w64-i686). The win32 thread model is used so
# that programs need no threading DLL beside the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VX7_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VX7_MINGW_PREFIX}-gcc-win32 ${VX7_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VX7_MINGW_PREFIX}-g++-win32 ${VX7_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VX7_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VX7_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
