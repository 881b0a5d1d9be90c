#!/bin/bash
# Installs the build into a temporary prefix, moves the tree elsewhere, and
# builds and runs a small program against the moved tree through the CMake
# packages and through pkg-config.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
prefix=$work/moved

# Nothing installed may point at the prefix it was installed to, nor at the
# one known at configure time.
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
# The boot unit alone must name its program by absolute path.
if grep -rIl --exclude="*.service" -e "$work/first" -e "$configured/" "$prefix"; then
  echo "FAIL: files above refer to a fixed prefix" >&2
  exit 1
fi

echo "== installed programs"
for program in "$prefix"/bin/* "$prefix"/sbin/*; do
  # Each carries the project's libraries and needs no search path.
  env -u LD_LIBRARY_PATH "$program" --help >/dev/null
  echo "$(basename "$program") starts"
done

libdir=$(dirname "$(find "$prefix" -name orv.pc -path '*/pkgconfig/*')")
libdir=${libdir%/pkgconfig}
export LD_LIBRARY_PATH=$libdir

echo "== CMake package"
cmake -S "$source/tests/install/consumer" -B "$work/consumer-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
for program in "$work"/consumer-cmake/consumer_*; do
  "$program"
done

echo "== pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
for library in $(cd "$PKG_CONFIG_PATH" && ls -- *.pc | sed 's/\.pc$//'); do
  # shellcheck disable=SC2046
  g++ -std=c++20 -o "$work/pc_$library" "$source/tests/install/consumer/$library.cpp" \
    $(pkg-config --cflags --libs "$library")
  "$work/pc_$library"
done
echo "installed tree usable"
