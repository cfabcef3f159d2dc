# Cross build for Windows (x86_64) with mingw-w64 (Debian g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# Programs under wine run the tests (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELMO_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Test programs run under wine64 (WINEPREFIX and WINEDEBUG from the caller).
find_program(PELMO_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(PELMO_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELMO_WINE64})
endif()
