# The Windows driver (vx7_driver_win.exe, the 32-bit deliverable) cross-built
# with mingw-w64 as part of a Linux build: the same sources configured with
# cmake/toolchains/mingw-i686.cmake in <build>/windows-i686, rebuilt with the
# rest of the tree and installed as bin/vx7_driver_win.exe (component
# windows). Its tests under wine64 are scripts/check-windows' job.

vx7_dependencies_begin()
find_program(VX7_MINGW_I686_CXX NAMES i686-w64-mingw32-g++-win32 i686-w64-mingw32-g++)
vx7_need(VX7_MINGW_I686_CXX g++-mingw-w64-i686 "the 32-bit Windows cross compiler")
vx7_dependencies_end(PART "the Windows driver" PROFILE test OPTION VX7_BUILD_WINDOWS)

include(ExternalProject)
set(vx7_windows_dir ${PROJECT_BINARY_DIR}/windows-i686)
ExternalProject_Add(vx7_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${vx7_windows_dir}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/mingw-i686.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
    -DVX7_BUILD_TESTS=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${vx7_windows_dir} --target vx7_driver_win
  BUILD_BYPRODUCTS ${vx7_windows_dir}/driver/vx7_driver_win.exe
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  USES_TERMINAL_BUILD ON)

install(PROGRAMS ${vx7_windows_dir}/driver/vx7_driver_win.exe
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT windows)
