# What both MinGW-w64 toolchain files share; KARVEL_MINGW_TRIPLET names the target.
set(CMAKE_SYSTEM_NAME Windows)
if(KARVEL_MINGW_TRIPLET MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()

# The POSIX-thread compilers: std::thread and friends without a separate threads library.
set(CMAKE_C_COMPILER ${KARVEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KARVEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KARVEL_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${KARVEL_MINGW_TRIPLET}-dlltool CACHE FILEPATH "dlltool for import libraries")
set(CMAKE_OBJDUMP ${KARVEL_MINGW_TRIPLET}-objdump CACHE FILEPATH "objdump for the export checks")

set(CMAKE_FIND_ROOT_PATH /usr/${KARVEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes (libgcc, libstdc++, winpthread) are linked in, so every DLL and program
# needs nothing but Windows' own DLLs (and the extension jpcodec.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
