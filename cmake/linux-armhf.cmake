# SPDX-License-Identifier: MIT
# Linux on 32-bit ARM with hardware floating point (armhf: ARMv7 and
# later), with Debian's g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake
# Tests run under qemu-arm-static (scripts/cross-build.sh armhf).
set(HEXPOKE_LINUX_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(HEXPOKE_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
