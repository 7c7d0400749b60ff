# 64-bit Windows with Debian's MinGW-w64, POSIX-thread variant: the same sources, and the build
# whose programs run under a 64-bit-only Wine.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(KARVEL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
