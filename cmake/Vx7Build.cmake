# Compile settings shared by the whole tree.
#
# vx7_warnings: warnings on for everything we compile.
# vx7_deliverable: what the shipped units are built with. They run inside
# client programs (even C programs linked with gcc alone), so they use no
# exceptions, no RTTI and nothing from the C++ runtime library.

add_library(vx7_warnings INTERFACE)
target_compile_options(vx7_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast>)

add_library(vx7_deliverable INTERFACE)
target_link_libraries(vx7_deliverable INTERFACE vx7_warnings)
target_include_directories(vx7_deliverable INTERFACE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(vx7_deliverable INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
  -fno-asynchronous-unwind-tables)

# Programs that users run: the C++ runtime (if any part of it is used at all)
# and libgcc are linked in statically, so that at run time they need only
# libc and, on Linux, libusb-0.1.so.4.
function(vx7_static_runtime target)
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
endfunction()

# vx7_version: "vx7version/version.h", VX7_VERSION as a string literal, made
# from project(VERSION) for the programs and libraries that report it.
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/vx7version/version.h @ONLY)
add_library(vx7_version INTERFACE)
target_include_directories(vx7_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
