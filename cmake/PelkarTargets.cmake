# Shared settings for every target of the project.

add_library(pelkar_options INTERFACE)
add_library(pelkar::options ALIAS pelkar_options)
target_compile_options(pelkar_options INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow
  $<$<BOOL:${PELKAR_WERROR}>:-Werror>)

# pelkar_library(NAME <name> SOURCES <files...> [DEPS <targets...>])
# A static library whose public headers live in <folder>/include.
function(pelkar_library)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  add_library(pelkar_${ARG_NAME} STATIC ${ARG_SOURCES})
  add_library(pelkar::${ARG_NAME} ALIAS pelkar_${ARG_NAME})
  target_include_directories(pelkar_${ARG_NAME} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(pelkar_${ARG_NAME} PUBLIC ${ARG_DEPS} PRIVATE pelkar::options)
endfunction()

# Per-system source files are named <unit>_posix.cpp and <unit>_windows.cpp.
if(WIN32)
  set(PELKAR_SYSTEM windows)
elseif(EMSCRIPTEN)
  set(PELKAR_SYSTEM posix)  # Emscripten's libc is POSIX over its in-memory file system
else()
  set(PELKAR_SYSTEM posix)
endif()

# Exceptions are off by default under Emscripten; the core reports refusals by throwing.
if(EMSCRIPTEN)
  target_compile_options(pelkar_options INTERFACE -fexceptions)
  target_link_options(pelkar_options INTERFACE -fexceptions)
endif()
