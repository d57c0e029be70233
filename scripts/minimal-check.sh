#!/usr/bin/env bash
# Minimal-machine check: `make demo` and `make install` as they run on a
# Debian machine with only cmake, g++ and make. Every optional dependency
# (GoogleTest, OpenSSL, SQLite, hiredis, Google Benchmark) is hidden from
# CMake, so the configuration must leave out what needs them, say so, and
# still build the library and the program. Removes everything it made.
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d "${TMPDIR:-/tmp}/librewrite-minimal.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
hidden=""
# PkgConfig hidden hides hiredis (found through its pkg-config file).
for pkg in GTest OpenSSL SQLite3 benchmark PkgConfig; do
  hidden="$hidden -DCMAKE_DISABLE_FIND_PACKAGE_$pkg=ON"
done
# Programs the tests use, hidden as well.
hidden="$hidden -DREWRITE_SOCAT=REWRITE_SOCAT-NOTFOUND -DREWRITE_PYTHON3=REWRITE_PYTHON3-NOTFOUND"

step() { printf 'minimal-check: %s\n' "$*"; }

step "make demo without the optional dependencies"
make --no-print-directory demo BUILD="$tmp/build" CMAKE_FLAGS="$hidden" >"$tmp/demo.log" 2>&1 || {
  cat "$tmp/demo.log"
  exit 1
}
grep -E '^(forward|reverse) ' "$tmp/demo.log"
# What was left out is said, with the packages that would bring it.
for part in REWRITE_TESTS REWRITE_SQLITE REWRITE_REDIS REWRITE_BENCH; do
  grep -q "$part: left out; it needs the Debian packages" "$tmp/demo.log" || {
    echo "minimal-check: the configuration did not say that $part was left out" >&2
    exit 1
  }
done
[ ! -e "$tmp/build/tests" ] || { echo "minimal-check: tests were configured" >&2; exit 1; }

step "make install without the optional dependencies"
make --no-print-directory install BUILD="$tmp/build" PREFIX="$tmp/prefix" CMAKE_FLAGS="$hidden" \
  >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
status=0
out=$("$tmp/prefix/bin/srs" --forward --secret=s --alias=fwd.example a@b.example) || status=$?
case "$status:$out" in
  255:SRS0=*=b.example=a@fwd.example) ;;
  *) echo "minimal-check: the installed srs answered '$out' with status $status" >&2; exit 1 ;;
esac

step "a test build without its dependencies fails and names them"
if cmake -S . -B "$tmp/required" -DREWRITE_TESTS=ON $hidden >"$tmp/required.log" 2>&1; then
  echo "minimal-check: REWRITE_TESTS=ON configured without GoogleTest" >&2
  exit 1
fi
grep -q 'libgtest-dev' "$tmp/required.log" || { cat "$tmp/required.log"; exit 1; }
step "passed"
