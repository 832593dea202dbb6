# SPDX-License-Identifier: MIT
# Linux on 64-bit ARM (arm64), with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake
# Tests run under qemu-aarch64-static (scripts/cross-build.sh aarch64).
set(HEXPOKE_LINUX_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(HEXPOKE_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
