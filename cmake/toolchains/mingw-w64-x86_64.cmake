# Windows x86-64 programs built on Debian with MinGW-w64 (g++-mingw-w64-x86-64).
#
# The posix thread model gives std::thread and std::mutex; -static links libstdc++, libgcc and
# winpthread into every .exe, so none needs a DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELKAR_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELKAR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELKAR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PELKAR_MINGW_TRIPLET}-windres)

# Libraries and headers only from the MinGW sysroot; programs (wine, the host compiler) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PELKAR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
