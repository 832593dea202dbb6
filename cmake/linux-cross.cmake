# SPDX-License-Identifier: MIT
# Shared part of the Linux cross toolchain files: Debian's cross-compilers
# (g++-TRIPLET), with qemu-user (qemu-user-static) running the programs
# they build. The including file sets HEXPOKE_LINUX_TRIPLET,
# CMAKE_SYSTEM_PROCESSOR and HEXPOKE_QEMU_ARCH first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${HEXPOKE_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${HEXPOKE_LINUX_TRIPLET}-g++)

# Libraries and headers come from the target's tree (and from prefixes
# named explicitly, such as GTest_DIR), programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${HEXPOKE_LINUX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs run under qemu-user, named as their emulator; the
# end-to-end tests start hexpoke through it too. So no binfmt handler is
# needed, and none is registered.
find_program(HEXPOKE_QEMU NAMES qemu-${HEXPOKE_QEMU_ARCH}-static
                                qemu-${HEXPOKE_QEMU_ARCH})
if(HEXPOKE_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HEXPOKE_QEMU} CACHE FILEPATH
      "Runs the test programs")
endif()
