# Cross-compiling the Windows program (64-bit) on Linux with mingw-w64, its -posix variant (the
# default win32 thread model lacks std::thread and std::mutex):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Debian: apt-get install g++-mingw-w64-x86-64-posix. The runtime is linked statically (see
# CMakeLists.txt), so quorel-update.exe needs no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUOREL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUOREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUOREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUOREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUOREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
