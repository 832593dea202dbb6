# SPDX-License-Identifier: MIT
# 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Wine runs 32-bit programs only with the i386 package wine32. Where the
# host has it, the tests run under scripts/wine.sh; scripts/cross-build.sh
# otherwise runs them under wine32 in an i386 chroot by passing
# -DCMAKE_CROSSCOMPILING_EMULATOR=.../scripts/wine32.sh. With neither they
# are built but not registered with CTest.
set(HEXPOKE_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
if(EXISTS /usr/lib/wine/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh CACHE FILEPATH
      "Runs the test programs")
endif()
