# SPDX-License-Identifier: MIT
# Cross build for 64-bit RISC-V with Debian's riscv64-linux-gnu toolchain:
#   cmake --toolchain cmake/riscv64-linux-gnu.cmake -S . -B build-riscv64 -DLOADHOG_TESTS=OFF
# Debian 12 has no riscv64 architecture to install libraries from, so there
# are no tests (no GoogleTest) and no package (no library scan); the program
# runs under qemu-user on the toolchain's own C library, libc6-riscv64-cross.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(CMAKE_C_COMPILER riscv64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER riscv64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE riscv64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/riscv64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-riscv64-static -L /usr/riscv64-linux-gnu)
