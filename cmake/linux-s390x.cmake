# SPDX-License-Identifier: MIT
# Linux on IBM Z (s390x), big-endian, with Debian's g++-s390x-linux-gnu:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake
# Tests run under qemu-s390x-static (scripts/cross-build.sh s390x).
set(HEXPOKE_LINUX_TRIPLET s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(HEXPOKE_QEMU_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
