#!/usr/bin/env bash
# Installation check: configures and builds a fresh copy of the project in a
# temporary directory, installs it into a temporary prefix, and builds the C
# example out of tree against the installed copy, once with pkg-config and
# once with a C-only CMake project using find_package(librewrite); runs both
# programs, runs the installed srs and looks for the man pages. Removes
# everything it made. Run from the repository (the root is found from the
# script's place).
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d "${TMPDIR:-/tmp}/librewrite-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
jobs=$(nproc 2>/dev/null || echo 2)
cc=${CC:-cc}
cflags=(-std=c99 -pedantic -Wall -Wextra -Werror)

step() { printf 'install-check: %s\n' "$*"; }

step "configure, build and install into $prefix"
cmake -S . -B "$tmp/build" -DCMAKE_BUILD_TYPE=Release -DREWRITE_TESTS=OFF -DREWRITE_BENCH=OFF \
  >"$tmp/configure.log" || { cat "$tmp/configure.log"; exit 1; }
cmake --build "$tmp/build" -j "$jobs" >"$tmp/build.log" || { cat "$tmp/build.log"; exit 1; }
cmake --install "$tmp/build" --prefix "$prefix" >"$tmp/install.log"

# The install directories as configured (lib may be lib64 or lib/<arch>).
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$tmp/build/CMakeCache.txt"; }
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
includedir=$(cache_value CMAKE_INSTALL_INCLUDEDIR)
bindir=$(cache_value CMAKE_INSTALL_BINDIR)
mandir=$(cache_value CMAKE_INSTALL_MANDIR) # empty: DATAROOTDIR/man
mandir=$prefix/${mandir:-$(cache_value CMAKE_INSTALL_DATAROOTDIR)/man}

step "installed files"
for f in "$libdir/librewrite.a" "$includedir/librewrite/librewrite.h" \
  "$libdir/pkgconfig/librewrite.pc" "$libdir/cmake/librewrite/librewrite-config.cmake" \
  "$libdir/cmake/librewrite/librewrite-config-version.cmake" "$bindir/srs"; do
  [ -s "$prefix/$f" ] || { echo "install-check: missing $prefix/$f" >&2; exit 1; }
done
cmp lib/librewrite.h "$prefix/$includedir/librewrite/librewrite.h"
for page in man1/srs.1 man3/librewrite.3; do
  [ -s "$mandir/$page" ] || { echo "install-check: missing man page $mandir/$page" >&2; exit 1; }
  cmp "man/${page#*/}" "$mandir/$page"
done

step "installed srs runs"
"$prefix/$bindir/srs" --help >/dev/null

# The consumer: the rotation example, and a unit that includes the header
# both ways. Copied out of the tree so that nothing but the installed
# header can be found.
mkdir "$tmp/consumer"
cp examples/rotate.c "$tmp/consumer/"
cat >"$tmp/consumer/both.c" <<'EOF'
#include <librewrite/librewrite.h>
#include <librewrite.h>
int both_headers(void) { return SRS_OK; }
EOF

step "build with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
version=$(pkg-config --modversion librewrite)
read -r -a pc_flags <<<"$(pkg-config --cflags --libs librewrite)"
"$cc" "${cflags[@]}" -o "$tmp/rotate-pc" "$tmp/consumer/rotate.c" "$tmp/consumer/both.c" \
  "${pc_flags[@]}"
"$tmp/rotate-pc" >/dev/null

step "build with find_package(librewrite $version)"
cat >"$tmp/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(consumer C) # C only: the library must link with the C compiler alone
find_package(librewrite ${WANT_VERSION} EXACT REQUIRED)
add_executable(rotate rotate.c both.c)
target_compile_options(rotate PRIVATE -std=c99 -pedantic -Wall -Wextra -Werror)
target_link_libraries(rotate PRIVATE librewrite::librewrite)
EOF
cmake -S "$tmp/consumer" -B "$tmp/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DWANT_VERSION="$version" >"$tmp/consumer.log" || { cat "$tmp/consumer.log"; exit 1; }
cmake --build "$tmp/consumer-build" >>"$tmp/consumer.log" || { cat "$tmp/consumer.log"; exit 1; }
"$tmp/consumer-build/rotate" >/dev/null

step "passed"
