# SPDX-License-Identifier: MIT
# Shared part of the mingw-w64 toolchain files: Debian's cross-compilers
# with the posix thread model, whose libstdc++ links statically into a
# program that needs no DLL but the system's own. The including file sets
# HEXPOKE_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${HEXPOKE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HEXPOKE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HEXPOKE_MINGW_TRIPLET}-windres)

# Libraries and headers come from the target's tree (and from prefixes
# named explicitly, such as GTest_DIR), programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${HEXPOKE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
