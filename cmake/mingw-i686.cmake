# Cross toolchain for the 32-bit Windows program (mingw-w64, i686); mingw-x86_64.cmake
# reads it with another TOLVANE_MINGW_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT TOLVANE_MINGW_PREFIX)
  set(TOLVANE_MINGW_PREFIX i686-w64-mingw32)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${TOLVANE_MINGW_PREFIX})

# The posix thread model gives the tests std::thread; winpthread is linked statically.
find_program(CMAKE_C_COMPILER NAMES ${TOLVANE_MINGW_PREFIX}-gcc-posix ${TOLVANE_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TOLVANE_MINGW_PREFIX}-g++-posix ${TOLVANE_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TOLVANE_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TOLVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beyond what Windows itself has: the C and C++ runtimes and winpthread go in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Static archives only (libz.a, not the import library of zlib1.dll).
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ZLIB_USE_STATIC_LIBS ON)
