# SPDX-License-Identifier: MIT
# Read by cpack for each generator it runs.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_HEXPOKE_STATIC)
  message(FATAL_ERROR
    "This build tree links hexpoke statically. The Debian package carries a "
    "dynamic build, whose Boost and libstdc++ come from Debian's own "
    "packages: configure a tree with -DHEXPOKE_STATIC=OFF and package that.")
endif()
