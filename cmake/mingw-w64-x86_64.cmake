# SPDX-License-Identifier: MIT
# 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Tests run under Wine through scripts/wine.sh.
set(HEXPOKE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh CACHE FILEPATH
    "Runs the test programs")
