# SPDX-License-Identifier: MIT
# Cross build for 64-bit Arm with Debian's aarch64-linux-gnu toolchain:
#   cmake --toolchain cmake/aarch64-linux-gnu.cmake -S . -B build-arm64
# Libraries (GoogleTest for the tests) come from Debian's arm64 packages,
# installed beside the native ones, and the programs built run under
# qemu-user with Debian's arm64 C library, which ctest uses for the test
# program's own start. A build to run on an arm64 machine passes
# -DCMAKE_CROSSCOMPILING_EMULATOR= (empty), and ctest runs it as it is.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
