# Builds the static Linux keytap for 64-bit Arm with Debian's cross compiler and the arm64 XCB
# libraries (dpkg --add-architecture arm64; scripts/install-deps installs them):
#   cmake -S . -B build-arm64 --toolchain cmake/linux-arm64.toolchain.cmake -DKEYTAP_TESTS=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} /)
include(${CMAKE_CURRENT_LIST_DIR}/host_headers.cmake)
