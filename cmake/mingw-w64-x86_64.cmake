# Cross build for 64-bit Windows with mingw-w64: static executables, tests run under wine.
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The POSIX thread model of the toolchain: the standard library's threads and mutexes work in it.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLLs beside the executables: the GCC runtime and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest and the test discovery run the .exe files through wine, with a wine prefix in the build folder.
find_program(PELLMAR_WINE64 NAMES wine64 PATHS /usr/lib/wine)
if(PELLMAR_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${PELLMAR_WINE64};${CMAKE_BINARY_DIR}/wineprefix")
endif()
