# Cross build for Windows (i686) with mingw-w64 (Debian g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# No 32-bit wine here: the programs are built and their exports checked, not run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELMO_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
