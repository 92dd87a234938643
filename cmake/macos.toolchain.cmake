# Builds keytap for macOS, one architecture per build tree; scripts/build-macos joins the two
# into a universal binary.
#   cmake -S . -B build-macos/arm64 --toolchain cmake/macos.toolchain.cmake \
#         -DKEYTAP_MACOS_SDK=/path/to/MacOSX.sdk -DKEYTAP_MACOS_ARCH=arm64
# On a Mac it uses Xcode's compiler and linker; elsewhere clang 14 and lld 14, whose Mach-O
# linker reads the SDK's .tbd stubs, so every system symbol is resolved as on a Mac.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${KEYTAP_MACOS_ARCH})
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEYTAP_MACOS_SDK KEYTAP_MACOS_ARCH)

if(NOT IS_DIRECTORY "${KEYTAP_MACOS_SDK}/usr/include")
  message(FATAL_ERROR "KEYTAP_MACOS_SDK must name a macOS SDK (with usr/include)")
endif()
if(NOT KEYTAP_MACOS_ARCH MATCHES "^(arm64|x86_64)$")
  message(FATAL_ERROR "KEYTAP_MACOS_ARCH must be arm64 or x86_64")
endif()

# macOS 26 is where keytap runs on Apple silicon, and the last release for Intel Macs: one
# minimum for both slices.
set(CMAKE_OSX_DEPLOYMENT_TARGET 26.0)
set(CMAKE_OSX_ARCHITECTURES ${KEYTAP_MACOS_ARCH})
set(CMAKE_OSX_SYSROOT ${KEYTAP_MACOS_SDK})

if(CMAKE_HOST_APPLE)
  return()
endif()

set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET ${KEYTAP_MACOS_ARCH}-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET})
# libc++ from the SDK, never a libc++ or libstdc++ of the build machine.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${KEYTAP_MACOS_SDK}/usr/include/c++/v1")
# The link sees the compile flags too; -nostdinc++ means nothing there.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++ -fuse-ld=lld -Wno-unused-command-line-argument")

# Headers, libraries and packages come from the SDK, and nlohmann/json from the build machine.
set(CMAKE_FIND_ROOT_PATH ${KEYTAP_MACOS_SDK})
include(${CMAKE_CURRENT_LIST_DIR}/host_headers.cmake)
