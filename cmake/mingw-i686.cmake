# Cross build for Windows (i686) with mingw-w64 (Debian g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The posix thread model gives std::thread and std::mutex; programs under wine
# run the tests (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELMO_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${PELMO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELMO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PELMO_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PELMO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
