# The Debian packages, made by CPack's DEB generator (scripts/package runs
# `cpack -G DEB` in a build configured with VX7_DEBIAN_PACKAGING=ON and the
# prefix /usr):
#
#   vx7           the drivers, vx7ctl, libvx7.so.1, libvx7stream.so.1, the
#                 udev rule, the driver's systemd unit; its maintainer scripts
#                 make the group vx7 and the channel-file links
#   libvx7-dev    headers, pkg-config files, the CMake package, hidlink.o and
#                 mapfile.o
#   python3-vx7   the Python module where Debian's python3 finds it
#   vx7-gateway   the gateway and its systemd unit
#
# Each package's documentation directory holds its copyright file and the
# changelog made from CHANGELOG.md, whose top entry must be this version.

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "VX7_DEBIAN_PACKAGING needs -DCMAKE_INSTALL_PREFIX=/usr (now ${CMAKE_INSTALL_PREFIX})")
endif()

set(vx7_debian_dir ${CMAKE_CURRENT_LIST_DIR})
set(VX7_PACKAGE_MAINTAINER "vx7 developers <vx7@example.org>" CACHE STRING
    "Maintainer field of the Debian packages: name <address>")

# CHANGELOG.md -> the Debian changelog of every package. Entries are
# "## VERSION (YYYY-MM-DD)" followed by "- " items (continued by indented
# lines); the top entry must be the version being packaged.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md vx7_changelog_lines ENCODING UTF-8)
set(vx7_entries "")
set(vx7_debian_changelog "")
set(vx7_entry_date "")
foreach(line IN LISTS vx7_changelog_lines)
  if(line MATCHES "^## ([0-9][^ ]*) \\(([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])\\)$")
    if(vx7_entry_date)
      string(APPEND vx7_debian_changelog "\n -- ${VX7_PACKAGE_MAINTAINER}  ${vx7_entry_date}\n\n")
    endif()
    list(APPEND vx7_entries ${CMAKE_MATCH_1})
    string(APPEND vx7_debian_changelog "vx7 (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2} 12:00:00"
                    OUTPUT_VARIABLE vx7_entry_date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  elseif(vx7_entry_date AND line MATCHES "^- (.+)$")
    string(APPEND vx7_debian_changelog "  * ${CMAKE_MATCH_1}\n")
  elseif(vx7_entry_date AND line MATCHES "^  +(.+)$")
    string(APPEND vx7_debian_changelog "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(NOT vx7_entries)
  message(FATAL_ERROR "CHANGELOG.md has no entry \"## VERSION (YYYY-MM-DD)\"")
endif()
string(APPEND vx7_debian_changelog "\n -- ${VX7_PACKAGE_MAINTAINER}  ${vx7_entry_date}\n")
list(GET vx7_entries 0 vx7_top_entry)
if(NOT vx7_top_entry STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md: the top entry is ${vx7_top_entry}, the project's version is ${PROJECT_VERSION}; "
                      "add an entry \"## ${PROJECT_VERSION} (YYYY-MM-DD)\" before packaging.")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog "${vx7_debian_changelog}")
execute_process(COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog COMMAND_ERROR_IS_FATAL ANY)

# Documentation of each package: copyright and changelog.
foreach(pkg vx7 libvx7-dev python3-vx7 vx7-gateway)
  set(component runtime)
  if(pkg STREQUAL "libvx7-dev")
    set(component dev)
  elseif(pkg STREQUAL "python3-vx7")
    set(component python)
  elseif(pkg STREQUAL "vx7-gateway")
    set(component gateway)
  endif()
  set(copyright ${vx7_debian_dir}/copyright)
  if(pkg STREQUAL "vx7-gateway")
    set(copyright ${vx7_debian_dir}/copyright-gateway)
  endif()
  install(FILES ${copyright} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg} RENAME copyright COMPONENT ${component})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg}
          COMPONENT ${component})
endforeach()

# The device the package serves, for hardware-matching tools.
install(FILES ${vx7_debian_dir}/vx7.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT runtime)

# Maintainer scripts, made executable in the build tree.
foreach(script vx7/postinst vx7/prerm vx7/postrm vx7/triggers
               python3-vx7/postinst python3-vx7/prerm
               vx7-gateway/postinst vx7-gateway/prerm vx7-gateway/postrm)
  get_filename_component(dir ${script} DIRECTORY)
  file(COPY ${vx7_debian_dir}/${script} DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/debian/${dir}
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(vx7_scripts ${CMAKE_CURRENT_BINARY_DIR}/debian)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vx7)
set(CPACK_PACKAGE_VENDOR "vx7 developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VX7_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Absolute destinations (/lib/udev, /lib/systemd) land in the package, not
# on the machine that builds it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL vx7_driver runtime dev python gateway)
if(NOT TARGET vx7-gateway)
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL gateway)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# shlibs for libvx7.so.1 and libvx7stream.so.1 (the only libraries with a soname).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib ${PROJECT_BINARY_DIR}/stream)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(vx7_exact "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_VX7_PACKAGE_NAME vx7)
set(CPACK_DEBIAN_VX7_PACKAGE_SECTION science)
set(CPACK_DEBIAN_VX7_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_VX7_PACKAGE_CONTROL_EXTRA
    "${vx7_scripts}/vx7/postinst;${vx7_scripts}/vx7/prerm;${vx7_scripts}/vx7/postrm;${vx7_scripts}/vx7/triggers")
set(CPACK_DEBIAN_VX7_DESCRIPTION "driver and library for the vx7 USB analogue-to-digital converter
vx7 is the user-space software for the vx7 device, a four-channel 24-bit
analogue-to-digital converter that attaches over USB as a HID device.

This package holds the acquisition daemon vx7_driver (and vx7_driver_quiet),
the command-line tool vx7ctl, the library libvx7 (configure the device, read
a channel's latest value) and the sample stream libvx7stream (every sample,
once), the udev rule that lets the group vx7 use the device, and the
driver's systemd unit. Installing it creates the group vx7 and the
channel-file links through which the driver and the library meet.")

set(CPACK_DEBIAN_LIBVX7-DEV_PACKAGE_NAME libvx7-dev)
set(CPACK_DEBIAN_LIBVX7-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBVX7-DEV_PACKAGE_DEPENDS "vx7 ${vx7_exact}, libusb-dev")
set(CPACK_DEBIAN_LIBVX7-DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIBVX7-DEV_DESCRIPTION "development files for the vx7 library and sample stream
Headers, pkg-config files (vx7, vx7stream) and the CMake package
(find_package(vx7): vx7::vx7, vx7::stream) for programs that use libvx7 and
libvx7stream, and the transport and value-file units as object modules
(hidlink.o, linked with -lusb, and mapfile.o).")

set(CPACK_DEBIAN_PYTHON3-VX7_PACKAGE_NAME python3-vx7)
set(CPACK_DEBIAN_PYTHON3-VX7_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3-VX7_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON3-VX7_PACKAGE_DEPENDS "python3:any, vx7 ${vx7_exact}")
set(CPACK_DEBIAN_PYTHON3-VX7_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON3-VX7_PACKAGE_CONTROL_EXTRA "${vx7_scripts}/python3-vx7/postinst;${vx7_scripts}/python3-vx7/prerm")
set(CPACK_DEBIAN_PYTHON3-VX7_DESCRIPTION "Python module for the vx7 USB analogue-to-digital converter
The module vx7: read channel values, configure the device and take every
sample the driver publishes (vx7.samples()), through libvx7 and
libvx7stream.")

set(CPACK_DEBIAN_VX7-GATEWAY_PACKAGE_NAME vx7-gateway)
set(CPACK_DEBIAN_VX7-GATEWAY_PACKAGE_SECTION science)
set(CPACK_DEBIAN_VX7-GATEWAY_PACKAGE_DEPENDS "vx7 ${vx7_exact}")
set(CPACK_DEBIAN_VX7-GATEWAY_PACKAGE_CONTROL_EXTRA
    "${vx7_scripts}/vx7-gateway/postinst;${vx7_scripts}/vx7-gateway/prerm;${vx7_scripts}/vx7-gateway/postrm")
set(CPACK_DEBIAN_VX7-GATEWAY_DESCRIPTION "live view of the vx7 ADC over HTTP and MQTT
vx7-gateway serves what the vx7 driver publishes: a dashboard page, a JSON
and Server-Sent Events API and Prometheus metrics on 127.0.0.1:8077, and,
when told, publishes every sample to an MQTT broker. Its systemd unit
starts it after the driver's.")

include(CPack)
cpack_add_component_group(vx7)
cpack_add_component_group(libvx7-dev)
cpack_add_component_group(python3-vx7)
cpack_add_component_group(vx7-gateway)
cpack_add_component(vx7_driver GROUP vx7)
cpack_add_component(runtime GROUP vx7)
cpack_add_component(dev GROUP libvx7-dev)
cpack_add_component(python GROUP python3-vx7)
cpack_add_component(gateway GROUP vx7-gateway)
