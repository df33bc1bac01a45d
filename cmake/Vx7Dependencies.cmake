# Checks of what a part of the build needs from the system, so that a missing
# piece stops the configuration with one message that names every missing
# Debian package, the install-deps profile that brings them, and the option
# that leaves the part out:
#
#   vx7_dependencies_begin()
#   find_package(nlohmann_json 3.11 QUIET)
#   vx7_need(nlohmann_json_FOUND nlohmann-json3-dev "JSON")
#   ...
#   vx7_dependencies_end(PART vx7-gateway PROFILE gateway OPTION VX7_BUILD_GATEWAY)
#
# Each dependency is an ordinary QUIET find call followed by one vx7_need()
# naming the variable that says it was found, so the list is changed one pair
# of lines at a time. Without OPTION the part belongs to every build.

function(vx7_dependencies_begin)
  set_property(GLOBAL PROPERTY VX7_MISSING_DEPENDENCIES "")
endfunction()

# vx7_need(FOUND_VAR DEBIAN_PACKAGE [WHAT]): records the package as missing
# when FOUND_VAR is false (or names a *-NOTFOUND result).
function(vx7_need found_var package)
  if(NOT ${found_var})
    set(entry "${package}")
    if(ARGC GREATER 2)
      set(entry "${package} (${ARGV2})")
    endif()
    set_property(GLOBAL APPEND PROPERTY VX7_MISSING_DEPENDENCIES "${entry}")
  endif()
endfunction()

function(vx7_dependencies_end)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "PART;PROFILE;OPTION" "")
  get_property(missing GLOBAL PROPERTY VX7_MISSING_DEPENDENCIES)
  set_property(GLOBAL PROPERTY VX7_MISSING_DEPENDENCIES "")
  if(NOT missing)
    return()
  endif()
  list(JOIN missing "\n  " listed)
  string(REGEX REPLACE " \\([^)]*\\)" "" packages "${missing}")
  list(REMOVE_DUPLICATES packages)
  list(JOIN packages " " packages)
  string(CONCAT text "${arg_PART} needs what this system lacks:\n  ${listed}\n"
           "Install it (as root): apt-get install ${packages}\n"
           "or all that ${arg_PART} needs: scripts/install-deps ${arg_PROFILE}\n")
  if(arg_OPTION)
    string(APPEND text "or configure with -D${arg_OPTION}=OFF to build without ${arg_PART}.")
  endif()
  message(FATAL_ERROR "${text}")
endfunction()
