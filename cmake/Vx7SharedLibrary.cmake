# vx7_shared_library: a shared library that client programs link, built the
# same way for each of them (libvx7, libvx7stream).
#
#   vx7_shared_library(<target>
#     SOVERSION <n>             libNAME.so.<n>, its SONAME, and libNAME.so
#                               linking to it (the development link)
#     EXPORTS <file>            linker version script: only the names it
#                               lists are exported
#     PKG_CONFIG <file.pc.in>   pkg-config template, installed as file.pc
#     SOURCES <source or object list>)
#
# The library is linked as C (the units use nothing of the C++ runtime), an
# unresolved symbol is a link error, not a load-time surprise, and only the
# libraries actually used are recorded as needed. The public headers are the
# tree's include/ folder. The library itself belongs to the install component
# "runtime", the development link and the pkg-config file to "dev". The
# pkg-config file is relocatable: its prefix is taken relative to its own
# folder (${pcfiledir}); the template can use @VX7_PC_PREFIX_FROM_PCDIR@,
# @PROJECT_VERSION@, @CMAKE_INSTALL_LIBDIR@ and @CMAKE_INSTALL_INCLUDEDIR@.
include_guard(GLOBAL)

function(vx7_shared_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SOVERSION;EXPORTS;PKG_CONFIG" "SOURCES")
  foreach(required SOVERSION EXPORTS PKG_CONFIG SOURCES)
    if(NOT arg_${required})
      message(FATAL_ERROR "vx7_shared_library(${target}): ${required} is missing")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vx7_shared_library(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  cmake_path(ABSOLUTE_PATH arg_EXPORTS BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  cmake_path(ABSOLUTE_PATH arg_PKG_CONFIG BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})

  add_library(${target} SHARED ${arg_SOURCES})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${target}
    SOVERSION ${arg_SOVERSION}
    LINKER_LANGUAGE C
    LINK_DEPENDS ${arg_EXPORTS})
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${arg_EXPORTS} -Wl,--no-undefined -Wl,--as-needed)
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)

  file(RELATIVE_PATH VX7_PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" VX7_PC_PREFIX_FROM_PCDIR "${VX7_PC_PREFIX_FROM_PCDIR}")
  cmake_path(GET arg_PKG_CONFIG STEM LAST_ONLY pc_name)
  configure_file(${arg_PKG_CONFIG} ${CMAKE_CURRENT_BINARY_DIR}/${pc_name} @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc_name} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endfunction()
