# Builds keytap.exe for 64-bit Windows with mingw-w64 (the POSIX-threads compiler, for
# std::thread):
#   cmake -S . -B build-windows --toolchain cmake/windows.toolchain.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
# GoogleTest, which the Windows suite builds from source, is C and C++.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/host_headers.cmake)
