# Shared settings for every target of the project.

add_library(pelkar_options INTERFACE)
add_library(pelkar::options ALIAS pelkar_options)
target_compile_options(pelkar_options INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow
  $<$<BOOL:${PELKAR_WERROR}>:-Werror>)

# The system the build is for; every per-system choice below is made by this one name.
if(WIN32)
  set(PELKAR_SYSTEM windows)
elseif(EMSCRIPTEN)
  set(PELKAR_SYSTEM web)  # a page: its libc is POSIX's over an in-memory file system
else()
  set(PELKAR_SYSTEM posix)
endif()

# pelkar_library(NAME <name> SOURCES <files...> [POSIX|WINDOWS|WEB <files...>]
#                [DEPS <targets...>] [POSIX_DEPS|WINDOWS_DEPS|WEB_DEPS <targets...>])
# A static library whose public headers live in <folder>/include. The sources and links named
# under a system's keyword are taken on that system only: per-system code lives in
# <unit>_posix.cpp, <unit>_windows.cpp and <unit>_web.cpp files chosen here, never by #ifdef.
set(PELKAR_TARGET_LISTS SOURCES POSIX WINDOWS WEB DEPS POSIX_DEPS WINDOWS_DEPS WEB_DEPS)
function(pelkar_library)
  cmake_parse_arguments(ARG "" "NAME" "${PELKAR_TARGET_LISTS}" ${ARGN})
  string(TOUPPER ${PELKAR_SYSTEM} system)
  add_library(pelkar_${ARG_NAME} STATIC ${ARG_SOURCES} ${ARG_${system}})
  add_library(pelkar::${ARG_NAME} ALIAS pelkar_${ARG_NAME})
  target_include_directories(pelkar_${ARG_NAME} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(pelkar_${ARG_NAME}
    PUBLIC ${ARG_DEPS} ${ARG_${system}_DEPS} PRIVATE pelkar::options)
  if(WIN32)
    target_compile_definitions(pelkar_${ARG_NAME} PRIVATE NOMINMAX)
  endif()
endfunction()

# pelkar_program(NAME <name> [WIN32] <the lists of pelkar_library>): a thin executable.
function(pelkar_program)
  cmake_parse_arguments(ARG "WIN32" "NAME" "${PELKAR_TARGET_LISTS}" ${ARGN})
  string(TOUPPER ${PELKAR_SYSTEM} system)
  set(gui)
  if(ARG_WIN32)
    set(gui WIN32)
  endif()
  add_executable(${ARG_NAME} ${gui} ${ARG_SOURCES} ${ARG_${system}})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} ${ARG_${system}_DEPS} pelkar::options)
endfunction()

# Exceptions are off by default under Emscripten; the core reports refusals by throwing.
if(EMSCRIPTEN)
  target_compile_options(pelkar_options INTERFACE -fexceptions)
  target_link_options(pelkar_options INTERFACE -fexceptions)
endif()
