# 32-bit Windows (the system's own target) with Debian's MinGW-w64, POSIX-thread variant.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(KARVEL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
