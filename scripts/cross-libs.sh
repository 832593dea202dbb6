# SPDX-License-Identifier: MIT
# Sourced by scripts/cross-build.sh and scripts/release.sh: the libraries
# a cross-build links, made for its target and cached.
#
# Boost.Program_options comes from Debian's source package boost1.74, the
# same source, with Debian's patches, as the host's library, so that every
# build prints the same messages. Its headers and sources (target-neutral)
# are kept once per source version, each target's compiled library beside
# them; GoogleTest is built from /usr/src/googletest per version and target.
# A second run rebuilds neither, unless the compiler or the flags a library
# was made with have changed.
#
# The caller sets `cache` (the directory that holds them) and `jobs`, then
# calls hexpoke_cross_libs, fetch_boost, and build_boost and build_gtest
# for each target.

. "$(dirname "${BASH_SOURCE[0]}")/i386-chroot.sh"  # hexpoke_remove_tree
. "$(dirname "${BASH_SOURCE[0]}")/summary.sh"      # hexpoke_give_up

# Sets boost_version (the newest boost1.74 source the archive offers, which
# apt-get source fetches), boost, gtest_version and gtest: where each is
# cached.
hexpoke_cross_libs() {
  boost_version=
  local version
  while read -r version; do
    if [ -z "$boost_version" ] || dpkg --compare-versions "$version" gt "$boost_version"; then
      boost_version=$version
    fi
  done < <(apt-cache showsrc boost1.74 | sed -n 's/^Version: //p')
  if [ -z "$boost_version" ]; then
    echo "apt-cache knows no source package boost1.74; run scripts/setup.sh windows or cross" >&2
    exit 1
  fi
  boost=$cache/boost1.74_$boost_version
  gtest_version=$(dpkg-query -W -f='${Version}' googletest)
  gtest=$cache/googletest_$gtest_version
}

# Headers and Program_options' sources, from the unpacked, patched source
# package. The rest of the 460 MB tree is not kept.
fetch_boost() {
  [ -d "$boost/include/boost" ] && [ -d "$boost/program_options-src" ] && return
  echo "== Boost $boost_version from Debian's source package boost1.74"
  local tmp
  mkdir -p "$cache"
  tmp=$(mktemp -d "$cache/boost-fetch.XXXXXX")
  chmod 755 "$tmp"  # apt's download user may write there
  # Tried once more half a minute later, and then given up (status 75):
  # an archive out of reach is no fault of the build.
  local attempt
  for attempt in 1 2; do
    if (cd "$tmp" && apt-get source --download-only -qq "boost1.74=$boost_version" \
          > download.log 2>&1); then
      break
    fi
    grep -v 'unsandboxed as root' "$tmp/download.log" >&2 || true
    if [ "$attempt" -eq 2 ]; then
      hexpoke_remove_tree "$tmp"
      hexpoke_give_up "apt-get source boost1.74 failed twice: the Debian archive cannot be reached or is inconsistent"
    fi
    echo "apt-get source failed; trying once more in 30 s" >&2
    sleep 30
  done
  dpkg-source -x "$tmp"/boost1.74_*.dsc "$tmp/src" >/dev/null
  mkdir -p "$tmp/include" "$boost"
  # In the source tree each library keeps its headers under
  # libs/NAME/include/boost; together they make the usual boost/ folder.
  find "$tmp/src/libs" -type d -path '*/include/boost' -prune \
    -exec cp -R {} "$tmp/include/" \;
  cp -R "$tmp/src/libs/program_options/src" "$tmp/program_options-src"
  cp "$tmp/src/LICENSE_1_0.txt" "$tmp/include/"
  hexpoke_remove_tree "$boost/include" "$boost/program_options-src"
  mv "$tmp/include" "$boost/include"
  mv "$tmp/program_options-src" "$boost/program_options-src"
  hexpoke_remove_tree "$tmp"
}

# The compiler flags that keep the cache's location out of what is built
# from or with Boost's files (the names that __FILE__ gives, in Boost's
# exceptions among others): its files are named as under boost1.74/.
boost_prefix_map() {
  echo "-ffile-prefix-map=$boost=boost1.74"
}

# Sets boost_cmake_args to what a CMake build for `triplet` needs to find
# Boost's headers and the target's library, named as under boost1.74/.
set_boost_cmake_args() {
  local triplet=$1
  boost_cmake_args=(-DBoost_NO_BOOST_CMAKE=ON -DBoost_INCLUDE_DIR="$boost/include"
    -DBoost_PROGRAM_OPTIONS_LIBRARY_RELEASE="$boost/$triplet/lib/libboost_program_options.a"
    -DCMAKE_CXX_FLAGS="$(boost_prefix_map)")
}

# libboost_program_options.a for one target: a plain compile of its sources
# with the compiler `cxx` and the archiver `ar`. A library made by another
# compiler, or with other flags, is made again.
build_boost() {
  local triplet=$1 cxx=$2 ar=$3
  local lib=$boost/$triplet/lib/libboost_program_options.a
  local flags=(-std=c++17 -O2 -DNDEBUG -DBOOST_ALL_NO_LIB -w
               "$(boost_prefix_map)" -I "$boost/include")
  local recipe
  recipe=$(printf '%s\n' "$("$cxx" --version | head -n 1)" "${flags[*]}")
  [ -f "$lib" ] && [ "$(cat "$lib.recipe" 2>/dev/null)" = "$recipe" ] && return
  echo "== Boost.Program_options for $triplet"
  local tmp
  mkdir -p "$boost/$triplet"
  tmp=$(mktemp -d "$boost/build.XXXXXX")
  # Boost's own deprecation notes about its headers go to a log, which is
  # shown only if the compile fails.
  if ! find "$boost/program_options-src" -name '*.cpp' -print0 |
      xargs -0 -P "$jobs" -I{} sh -c \
        'source=$1; shift; exec "$@" -c "$source" -o "'"$tmp"'/$(basename "$source" .cpp).o"' \
        sh {} "$cxx" "${flags[@]}" >"$tmp/compile.log" 2>&1; then
    cat "$tmp/compile.log" >&2
    exit 1
  fi
  # In name order, so that the archive is the same whatever order the
  # compiles ended in (D: no dates, owners or modes in it).
  (cd "$tmp" && export LC_ALL=C && "$ar" rcsD libboost_program_options.a ./*.o)
  mkdir -p "$(dirname "$lib")"
  mv "$tmp/libboost_program_options.a" "$lib"
  printf '%s\n' "$recipe" > "$lib.recipe"
  hexpoke_remove_tree "$tmp"
}

# GoogleTest for one target, installed with its CMake package files.
build_gtest() {
  local triplet=$1 toolchain=$2
  local prefix=$gtest/$triplet
  [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && return
  echo "== GoogleTest $gtest_version for $triplet"
  local tmp
  mkdir -p "$gtest"
  tmp=$(mktemp -d "$gtest/build.XXXXXX")
  cmake -S /usr/src/googletest -B "$tmp/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$tmp/install" >/dev/null
  cmake --build "$tmp/build" -j "$jobs" >/dev/null
  cmake --install "$tmp/build" >/dev/null
  hexpoke_remove_tree "$prefix"
  mv "$tmp/install" "$prefix"
  hexpoke_remove_tree "$tmp"
}
