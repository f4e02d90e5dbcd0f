# SPDX-License-Identifier: MIT
# Cross build for 32-bit Arm with hardware floating point (armhf, as on
# Raspberry Pi OS in its 32-bit form) with Debian's arm-linux-gnueabihf
# toolchain:
#   cmake --toolchain cmake/arm-linux-gnueabihf.cmake -S . -B build-armhf
# Libraries (GoogleTest for the tests) come from Debian's armhf packages,
# installed beside the native ones, and the programs built run under
# qemu-user with Debian's armhf C library, which ctest uses for the test
# program's own start.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
