# Cross build for Windows (x86_64) with Debian's mingw-w64 compilers
# (package g++-mingw-w64-x86-64). This is the build whose programs run under
# wine64 in the tests. It uses the posix thread model, because googletest
# needs std::mutex, which the win32 model of this compiler lacks; the
# programs link their runtime statically, so they still import only the
# system's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VX7_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VX7_MINGW_PREFIX}-gcc-posix ${VX7_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VX7_MINGW_PREFIX}-g++-posix ${VX7_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VX7_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VX7_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
