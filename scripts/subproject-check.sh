#!/usr/bin/env bash
# Subproject check: the C project tests/subproject builds librewrite from
# this source tree with add_subdirectory, once as it comes (the static
# archive) and once with BUILD_SHARED_LIBS=ON (librewrite.so.0), links
# librewrite::librewrite and runs. Its configuration fails when librewrite
# forces -Werror, its tests, benchmarks or store on a parent project, or
# gives the wrong kind of library; its compilation fails when a module
# header of lib/ is on its include path. Removes everything it made.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/librewrite-subproject.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf 'subproject-check: %s\n' "$*"; }
logged() { # log command...
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; echo "subproject-check: failed: $*" >&2; exit 1; }
}

for shared in OFF ON; do
  build=$tmp/shared-$shared
  step "BUILD_SHARED_LIBS=$shared: configure and build"
  logged "$build.configure.log" cmake -S tests/subproject -B "$build" \
    -DLIBREWRITE_SOURCE_DIR="$root" -DBUILD_SHARED_LIBS=$shared
  logged "$build.build.log" cmake --build "$build" -j "$jobs"
  "$build/subproject"
  if readelf -d "$build/subproject" | grep -q 'NEEDED.*\[librewrite\.so\.0\]'; then
    linked=ON
  else
    linked=OFF
  fi
  [ "$linked" = "$shared" ] || {
    echo "subproject-check: BUILD_SHARED_LIBS=$shared, but linked with the shared library: $linked" >&2
    exit 1
  }
done
step "passed"
