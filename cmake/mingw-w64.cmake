# Cross-building for 64-bit Windows with Debian's mingw-w64 (the -posix
# compilers: the win32-thread ones have no std::thread). PELKO_WIN_PREFIX
# names the prefix that holds the static libraries built from Debian's
# source packages (scripts/build_windows.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${PELKO_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(PKG_CONFIG_EXECUTABLE x86_64-w64-mingw32-pkg-config CACHE FILEPATH "")
# The checks of the compilers read this file again without the prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELKO_WIN_PREFIX)
if(PELKO_WIN_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${PELKO_WIN_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
# Wine runs the test executable when CMake asks it for its tests.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
