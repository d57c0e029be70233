#!/usr/bin/env bash
# Installation check: configures and builds a fresh copy of the project in a
# temporary directory and installs it into a temporary prefix, twice: with
# the static archives alone (REWRITE_SHARED=OFF) and with the shared
# libraries beside them. Against each installed copy it builds the C example
# out of tree, once with pkg-config and once with a C-only CMake project
# using find_package(librewrite), and runs both programs; it checks which
# kind of library each program was linked with, runs the installed srs and
# looks for the header and the man pages. Where hiredis is installed the
# Redis store is built too (REWRITE_REDIS=ON) and checked the same way: its
# files, and a C program built with pkg-config librewrite-redis and with
# find_package(librewrite COMPONENTS redis). Removes everything it made. Run
# from the repository (the root is found from the script's place).
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d "${TMPDIR:-/tmp}/librewrite-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
jobs=$(nproc 2>/dev/null || echo 2)
cc=${CC:-cc}
cflags=(-std=c99 -pedantic -Wall -Wextra -Werror)

step() { printf 'install-check: %s\n' "$*"; }
die() {
  echo "install-check: $*" >&2
  exit 1
}
# Runs a command with its output in a log, shown only when it fails.
logged() { # log command...
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; die "failed: $*"; }
}
# Whether a program needs librewrite.so.0 at run time.
needs_shared() { readelf -d "$1" | grep -q 'NEEDED.*\[librewrite\.so\.0\]'; }

# The consumer: the rotation example, and a unit that includes the header as
# it is installed and checks the run-time version. Copied out of the tree so
# that nothing but the installed header can be found.
mkdir "$tmp/consumer"
cp examples/rotate.c "$tmp/consumer/"
cat >"$tmp/consumer/version.c" <<'EOF'
#include <librewrite/librewrite.h>
#include <string.h>
int version_matches(void) { return strcmp(srs_version(), LIBREWRITE_VERSION_STRING) == 0; }
EOF
cat >"$tmp/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(consumer C) # C only: the library must link with the C compiler alone
find_package(librewrite ${WANT_VERSION} EXACT REQUIRED)
foreach(kind "" -static)
  add_executable(rotate${kind} rotate.c version.c)
  target_compile_options(rotate${kind} PRIVATE -std=c99 -pedantic -Wall -Wextra -Werror)
  target_link_libraries(rotate${kind} PRIVATE librewrite::librewrite${kind})
endforeach()
EOF

# The Redis store's consumer: attach to a socket where no server listens,
# which needs the library but no server.
redis=OFF
if pkg-config --exists hiredis 2>/dev/null; then
  redis=ON
  mkdir "$tmp/redis-consumer"
  cat >"$tmp/redis-consumer/use.c" <<'EOF'
#include <librewrite/srs_redis.h>
#include <string.h>
int main(void) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    int rc = srs_redis_attach(h, "/nonexistent/redis.sock", NULL);
    int ok = rc == SRS_DB_ERROR && strlen(srs_redis_last_error(h)) > 0 &&
             srs_redis_detach(h) == SRS_DB_NOT_IN_USE;
    srs_close(h);
    return ok ? 0 : 1;
}
EOF
  cat >"$tmp/redis-consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(redis_consumer C)
find_package(librewrite REQUIRED COMPONENTS redis)
foreach(kind "" -static)
  add_executable(use${kind} use.c)
  target_compile_options(use${kind} PRIVATE -std=c99 -pedantic -Wall -Wextra -Werror)
  target_link_libraries(use${kind} PRIVATE librewrite::librewrite-redis${kind})
endforeach()
EOF
else
  step "the Redis store left out: hiredis is not installed (Debian package libhiredis-dev)"
fi
needs_redis_shared() { readelf -d "$1" | grep -q 'NEEDED.*\[librewrite-redis\.so\.0\]'; }

check_install() { # static | shared
  local kind=$1 prefix=$tmp/$1/prefix build=$tmp/$1/build shared=OFF
  [ "$kind" = shared ] && shared=ON
  mkdir -p "$tmp/$kind"

  step "$kind: configure, build and install into $prefix"
  logged "$tmp/$kind/configure.log" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DREWRITE_TESTS=OFF -DREWRITE_BENCH=OFF -DREWRITE_EXAMPLES=OFF -DREWRITE_SHARED=$shared \
    -DREWRITE_REDIS=$redis
  logged "$tmp/$kind/build.log" cmake --build "$build" -j "$jobs"
  logged "$tmp/$kind/install.log" cmake --install "$build" --prefix "$prefix"

  # The install directories as configured (lib may be lib64 or lib/<arch>).
  cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  local libdir includedir bindir mandir
  libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
  includedir=$(cache_value CMAKE_INSTALL_INCLUDEDIR)
  bindir=$(cache_value CMAKE_INSTALL_BINDIR)
  mandir=$(cache_value CMAKE_INSTALL_MANDIR) # empty: DATAROOTDIR/man
  mandir=$prefix/${mandir:-$(cache_value CMAKE_INSTALL_DATAROOTDIR)/man}

  step "$kind: installed files"
  local files=("$libdir/librewrite.a" "$includedir/librewrite/librewrite.h"
    "$includedir/librewrite/librewrite_version.h" "$libdir/pkgconfig/librewrite.pc"
    "$libdir/cmake/librewrite/librewrite-config.cmake"
    "$libdir/cmake/librewrite/librewrite-config-version.cmake" "$bindir/srs")
  [ "$kind" = shared ] && files+=("$libdir/librewrite.so.0")
  if [ "$redis" = ON ]; then
    files+=("$libdir/librewrite-redis.a" "$includedir/librewrite/srs_redis.h"
      "$libdir/pkgconfig/librewrite-redis.pc" "$libdir/cmake/librewrite/librewrite-redis-targets.cmake")
    [ "$kind" = shared ] && files+=("$libdir/librewrite-redis.so.0")
  fi
  for f in "${files[@]}"; do
    [ -s "$prefix/$f" ] || die "missing $prefix/$f"
  done
  if [ "$kind" = static ] && compgen -G "$prefix/$libdir/librewrite*.so*" >/dev/null; then
    die "REWRITE_SHARED=OFF installed a shared library"
  fi
  # One spelling of the header, and no module header of lib/.
  [ ! -e "$prefix/$includedir/librewrite.h" ] || die "<librewrite.h> is installed too"
  for f in "$prefix/$includedir/librewrite"/*; do
    case $(basename "$f") in
      librewrite.h | librewrite_version.h | srs_sqlite.h | srs_redis.h) ;;
      *) die "unexpected header $f" ;;
    esac
  done
  cmp lib/librewrite.h "$prefix/$includedir/librewrite/librewrite.h"
  for page in man1/srs.1 man3/librewrite.3; do
    [ -s "$mandir/$page" ] || die "missing man page $mandir/$page"
    cmp "man/${page#*/}" "$mandir/$page"
  done
  "$prefix/$bindir/srs" --help >/dev/null

  step "$kind: build with pkg-config"
  local version pc_flags
  export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
  version=$(pkg-config --modversion librewrite)
  read -r -a pc_flags <<<"$(pkg-config --cflags --libs librewrite)"
  "$cc" "${cflags[@]}" -o "$tmp/$kind/rotate-pc" "$tmp/consumer/rotate.c" \
    "$tmp/consumer/version.c" "${pc_flags[@]}"
  LD_LIBRARY_PATH=$prefix/$libdir "$tmp/$kind/rotate-pc" >/dev/null

  step "$kind: build with find_package(librewrite $version)"
  logged "$tmp/$kind/consumer.log" cmake -S "$tmp/consumer" -B "$tmp/$kind/consumer-build" \
    -DCMAKE_PREFIX_PATH="$prefix" -DWANT_VERSION="$version"
  logged "$tmp/$kind/consumer-build.log" cmake --build "$tmp/$kind/consumer-build"
  "$tmp/$kind/consumer-build/rotate" >/dev/null
  "$tmp/$kind/consumer-build/rotate-static" >/dev/null

  # -lrewrite and librewrite::librewrite take the shared library where it is
  # installed; librewrite::librewrite-static is always the archive.
  local program
  for program in rotate-pc consumer-build/rotate; do
    if [ "$kind" = shared ]; then
      needs_shared "$tmp/$kind/$program" || die "$kind: $program is not linked with librewrite.so.0"
    else
      ! needs_shared "$tmp/$kind/$program" || die "$kind: $program needs librewrite.so.0"
    fi
  done
  ! needs_shared "$tmp/$kind/consumer-build/rotate-static" ||
    die "$kind: librewrite::librewrite-static gave the shared library"

  [ "$redis" = ON ] || return 0
  step "$kind: the Redis store with pkg-config and find_package(librewrite COMPONENTS redis)"
  local static_flag=()
  [ "$kind" = static ] && static_flag=(--static)
  read -r -a pc_flags <<<"$(pkg-config "${static_flag[@]}" --cflags --libs librewrite-redis)"
  "$cc" "${cflags[@]}" -o "$tmp/$kind/redis-pc" "$tmp/redis-consumer/use.c" "${pc_flags[@]}"
  LD_LIBRARY_PATH=$prefix/$libdir "$tmp/$kind/redis-pc"
  logged "$tmp/$kind/redis-consumer.log" cmake -S "$tmp/redis-consumer" \
    -B "$tmp/$kind/redis-build" -DCMAKE_PREFIX_PATH="$prefix"
  logged "$tmp/$kind/redis-build.log" cmake --build "$tmp/$kind/redis-build"
  "$tmp/$kind/redis-build/use"
  "$tmp/$kind/redis-build/use-static"
  for program in redis-pc redis-build/use; do
    if [ "$kind" = shared ]; then
      needs_redis_shared "$tmp/$kind/$program" ||
        die "$kind: $program is not linked with librewrite-redis.so.0"
    else
      ! needs_redis_shared "$tmp/$kind/$program" || die "$kind: $program needs librewrite-redis.so.0"
    fi
  done
  ! needs_redis_shared "$tmp/$kind/redis-build/use-static" ||
    die "$kind: librewrite::librewrite-redis-static gave the shared library"
}

check_install static
check_install shared
step "passed"
