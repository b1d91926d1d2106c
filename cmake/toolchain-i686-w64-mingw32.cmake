# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model, so
# the standard thread and mutex types work).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MINGW_TRIPLE}-gcc-ar-posix)
set(CMAKE_RANLIB ${MINGW_TRIPLE}-gcc-ranlib-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Libraries built from Debian's source packages by tools/deps/build-deps.sh.
set(VEXO_DEPS_PREFIX "/var/cache/vexo-deps/i686-w64-mingw32" CACHE PATH "Prefix of the libraries built from source")
list(APPEND CMAKE_FIND_ROOT_PATH ${VEXO_DEPS_PREFIX})
