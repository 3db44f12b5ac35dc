# What a Windows build made on Debian needs around the compiler: Wine to run the tests, the
# GoogleTest sources, and the header-only libraries of the build machine.

# Tests run under Wine, in a prefix of this build tree's own (never ~/.wine). Debian's wine64
# keeps its loader off PATH.
find_program(PELKAR_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine64 REQUIRED)
find_program(PELKAR_WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine /usr/lib/wine64
             REQUIRED)
set(PELKAR_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
# A port the prefix declares for itself (Wine's own port list), so that the system's registry
# of serial ports is known to hold at least this one.
set(PELKAR_WINE_REGISTRY_PORT 42)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine/run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine/run)
# Programs that make windows run on a virtual X display, in a prefix of their own.
set(PELKAR_WINE_GUI_PREFIX ${CMAKE_BINARY_DIR}/wine/gui-prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-gui-run.sh.in ${CMAKE_BINARY_DIR}/wine/gui-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

# GoogleTest built by this compiler from the sources libgtest-dev ships.
set(PELKAR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")

# CLI11 and nlohmann-json are header-only: the cross compiler sees their own include folders
# through links in the build tree, never the rest of /usr/include.
function(pelkar_host_headers package target header)
  find_path(include_dir ${header} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT include_dir)
    message(FATAL_ERROR "${header} not found: install the Debian package of ${package}")
  endif()
  string(REGEX REPLACE "/.*" "" top ${header})
  set(dir ${CMAKE_BINARY_DIR}/host-headers/${package})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${include_dir}/${top} ${dir}/${top} SYMBOLIC)
  file(WRITE ${dir}/${package}Config.cmake
       "if(NOT TARGET ${target})\n"
       "  add_library(${target} INTERFACE IMPORTED)\n"
       "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})\n"
       "endif()\n")
  set(${package}_DIR ${dir} CACHE PATH "Headers of ${package}, linked from the build machine" FORCE)
  unset(include_dir CACHE)
endfunction()
pelkar_host_headers(CLI11 CLI11::CLI11 CLI/CLI.hpp)
pelkar_host_headers(nlohmann_json nlohmann_json::nlohmann_json nlohmann/json.hpp)
