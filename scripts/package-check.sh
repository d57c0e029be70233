#!/usr/bin/env bash
# Debian package check: builds the packages of debian/ with
# `dpkg-buildpackage -us -uc -b` from a clean copy of the tree (the files git
# tracks, and new ones it does not ignore, as they are in the work tree),
# runs lintian on them (no error, no warning), installs them on this machine
# with dpkg -i and checks what they hold: srs --version, a forward and a
# reverse with /usr/bin/srs, C programs built with pkg-config and with
# find_package against the installed shared libraries (the Redis store's
# against a redis-server of its own, where redis-server is installed), the
# unit (installed,
# not enabled, verified by systemd-analyze where it can run), the user srs
# and the secrets file. Then it removes and purges them and checks that
# nothing of them is left: their files, /etc/srs, the user and group srs.
# The packages are purged on every way out, failures included.
#
# Needs root, debhelper, dpkg-dev, lintian, cmake, g++, pkg-config,
# libsqlite3-dev and libhiredis-dev (.ci/run installs them). The machine must be one that may
# get packages installed and removed: CI's, or a developer's throw-away one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

step() { printf 'package-check: %s\n' "$*"; }
die() {
  echo "package-check: $*" >&2
  exit 1
}

packages=(librewrite0 librewrite-dev librewrite-sqlite0 librewrite-sqlite-dev librewrite-redis0
  librewrite-redis-dev srs-rewrite)

[ "$(id -u)" -eq 0 ] || die "needs root (it installs and purges the packages)"
missing=()
for tool in dpkg-buildpackage:dpkg-dev dh:debhelper lintian:lintian cmake:cmake \
  pkg-config:pkg-config c++:g++; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
[ ${#missing[@]} -eq 0 ] || die "missing tools; install the Debian packages: ${missing[*]}"

installed() { dpkg-query -W -f='${db:Status-Abbrev}\n' "$1" 2>/dev/null | grep -q '^.[^n]'; }
purge_all() {
  local p present=()
  for p in "${packages[@]}"; do
    if installed "$p"; then present+=("$p"); fi
  done
  [ ${#present[@]} -eq 0 ] || dpkg --purge "${present[@]}"
}

# Leftovers of an interrupted run go first. A user srs of anything else
# would be removed by the purge below: refuse to run then.
purge_all >/dev/null
if getent passwd srs >/dev/null || getent group srs >/dev/null; then
  die "a user or group srs exists on this machine; purging srs-rewrite would remove it"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/librewrite-package.XXXXXX")
redis_pid=
cleanup() {
  local status=$?
  if [ -n "$redis_pid" ]; then
    kill -KILL "$redis_pid" 2>/dev/null || true
    wait "$redis_pid" 2>/dev/null || true
  fi
  if ! purge_all >"$tmp/cleanup.log" 2>&1; then
    cat "$tmp/cleanup.log" >&2
    echo "package-check: purging the packages failed" >&2
    status=1
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
upstream=${version%-*}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# ---- Build ------------------------------------------------------------------
src=$tmp/librewrite-$upstream
step "copy the tree into $src"
mkdir "$src"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  [ -e "$f" ] || [ -L "$f" ] || continue # deleted in the work tree
  cp -P --parents -- "$f" "$src/"
done

step "dpkg-buildpackage -us -uc -b ($version)"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc 2>/dev/null || echo 2)" \
  dpkg-buildpackage -us -uc -b) >"$tmp/build.log" 2>&1 || {
  tail -60 "$tmp/build.log"
  die "dpkg-buildpackage failed (whole log above, last lines)"
}
grep '^smoke test:' "$tmp/build.log" || die "the smoke test of the package build did not run"

debs=()
for p in "${packages[@]}"; do
  deb=$tmp/${p}_${version}_${arch}.deb
  [ -s "$deb" ] || die "$p was not built"
  debs+=("$deb")
done
(cd "$tmp" && ls -l ./*.deb)
for deb in "${debs[@]}"; do
  dpkg-deb -f "$deb" Package Version Installed-Size Depends | sed 's/^/    /'
done

step "lintian"
changes=$tmp/librewrite_${version}_${arch}.changes
# Overridden tags are not shown: with --show-overrides lintian counts them
# for --fail-on. The overrides and their reasons are debian/*.lintian-overrides.
if ! lintian --fail-on error,warning --display-info "$changes" >"$tmp/lintian.log" 2>&1; then
  cat "$tmp/lintian.log"
  die "lintian reports errors or warnings"
fi
grep -v '^running with root privileges' "$tmp/lintian.log" | sed 's/^/    /' || true
echo "    no error, no warning; overridden: $(cat debian/*.lintian-overrides | grep -v '^#' |
  sort -u | tr '\n' ' ')"

# ---- Install and use --------------------------------------------------------
# Directories of the packages that do not exist yet must be gone after purge.
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's#^\./#/#; s#/$##' | grep -v '^/\?$'
done | sort -u >"$tmp/paths"
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || echo "$path"
done <"$tmp/paths" >"$tmp/new-paths"

step "dpkg -i ${packages[*]}"
dpkg -i "${debs[@]}" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log"
  die "dpkg -i failed"
}
grep '^srs-rewrite:' "$tmp/install.log" || true

step "the user srs and the secrets file"
IFS=: read -r _ _ uid _ _ home shell <<<"$(getent passwd srs)" || die "no user srs"
[ "$uid" -lt 1000 ] || die "srs is not a system user (uid $uid)"
getent group srs >/dev/null || die "no group srs"
case $shell in */nologin | */false) ;; *) die "the user srs has the shell $shell" ;; esac
[ ! -e "$home" ] || [ "$home" = /nonexistent ] || die "the user srs has a home $home"
[ "$(stat -c '%a %U %G' /etc/srs/secrets)" = "600 srs srs" ] ||
  die "/etc/srs/secrets: $(stat -c '%a %U %G' /etc/srs/secrets), not 600 srs srs"
secret=$(head -1 /etc/srs/secrets)
[ ${#secret} -ge 16 ] && [ ${#secret} -le 32 ] || die "the secret made at installation is ${#secret} characters"

step "/usr/bin/srs"
# --version prints "srs VERSION" with the library's version (srs_version()).
if grep -q '"version' "$src/tool/options.cpp"; then
  out=$(/usr/bin/srs --version) || die "srs --version failed"
  [ "$out" = "srs $upstream" ] || die "srs --version says '$out', not 'srs $upstream'"
  echo "    $out"
else
  echo "    srs --version: skipped, this srs has no --version option yet"
fi
fwd=$(/usr/bin/srs --forward --secretfile=/etc/srs/secrets --alias=forwarder.example \
  alice@example.org) || [ $? -eq 255 ]
back=$(/usr/bin/srs --reverse --secretfile=/etc/srs/secrets "$fwd") || [ $? -eq 255 ]
echo "    alice@example.org -> $fwd -> $back"
case $fwd in SRS0=*=example.org=alice@forwarder.example) ;; *) die "forward gave '$fwd'" ;; esac
[ "$back" = alice@example.org ] || die "reverse gave '$back'"
[ -s /usr/share/man/man1/srs.1.gz ] || die "srs(1) is not installed"

step "a C program with pkg-config librewrite and librewrite-sqlite"
mkdir "$tmp/consumer"
cat >"$tmp/consumer/use.c" <<'EOF'
/* The installed libraries from C: a forward and reverse rewrite in database
 * mode with the SQLite store, and the versions of header and library. */
#include <librewrite/librewrite.h>
#include <librewrite/srs_sqlite.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    char fwd[256], back[256];
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    int rc;
    if (argc != 2 || h == NULL) return 1;
    rc = srs_sqlite_attach(h, argv[1]);
    if (!SRS_IS_ERROR(rc))
        rc = srs_forward(h, "alice@example.org", "forwarder.example", fwd, sizeof fwd);
    if (!SRS_IS_ERROR(rc)) rc = srs_reverse(h, fwd, back, sizeof back);
    srs_sqlite_detach(h);
    srs_close(h);
    if (SRS_IS_ERROR(rc) || strcmp(back, "alice@example.org") != 0) {
        fprintf(stderr, "use: %s\n", srs_geterrormsg(rc));
        return 1;
    }
    if (strcmp(srs_version(), LIBREWRITE_VERSION_STRING) != 0) return 1;
    printf("%s -> %s, librewrite %s\n", fwd, back, srs_version());
    return 0;
}
EOF
read -r -a flags <<<"$(pkg-config --cflags --libs librewrite librewrite-sqlite)"
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$tmp/consumer/use-pc" "$tmp/consumer/use.c" \
  "${flags[@]}"
"$tmp/consumer/use-pc" "$tmp/consumer/pc.db" | sed 's/^/    /'
libs=$(ldd "$tmp/consumer/use-pc")
for lib in librewrite.so.0 librewrite-sqlite.so.0; do
  grep -qE "$lib => (/usr)?/lib/$multiarch/$lib " <<<"$libs" ||
    die "the program does not run with the installed $lib:"$'\n'"$libs"
done

step "the same program with find_package(librewrite COMPONENTS sqlite)"
cat >"$tmp/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(use C)
find_package(librewrite REQUIRED COMPONENTS sqlite)
add_executable(use use.c)
target_link_libraries(use PRIVATE librewrite::librewrite-sqlite librewrite::librewrite)
EOF
cmake -S "$tmp/consumer" -B "$tmp/consumer/build" >"$tmp/cmake.log" 2>&1 &&
  cmake --build "$tmp/consumer/build" >>"$tmp/cmake.log" 2>&1 || {
  cat "$tmp/cmake.log"
  die "the CMake consumer failed"
}
"$tmp/consumer/build/use" "$tmp/consumer/cmake.db" | sed 's/^/    /'
readelf -d "$tmp/consumer/build/use" | grep -q 'NEEDED.*\[librewrite\.so\.0\]' ||
  die "librewrite::librewrite is not the shared library"

step "a C program with pkg-config librewrite-redis and find_package(... COMPONENTS redis)"
cat >"$tmp/consumer/redis.c" <<'EOF'
/* The installed Redis store from C: a forward and reverse rewrite in
 * database mode against the server at argv[1]; with "-" only the refusal
 * of a socket where no server listens. */
#include <librewrite/librewrite.h>
#include <librewrite/srs_redis.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    char fwd[256], back[256];
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    int rc;
    if (argc != 2 || h == NULL) return 1;
    if (strcmp(argv[1], "-") == 0) {
        rc = srs_redis_attach(h, "/nonexistent/redis.sock", NULL);
        srs_close(h);
        if (rc != SRS_DB_ERROR) return 1;
        printf("no server: attach answers %d\n", rc);
        return 0;
    }
    rc = srs_redis_attach(h, argv[1], NULL);
    if (!SRS_IS_ERROR(rc))
        rc = srs_forward(h, "alice@example.org", "forwarder.example", fwd, sizeof fwd);
    if (!SRS_IS_ERROR(rc)) rc = srs_reverse(h, fwd, back, sizeof back);
    if (SRS_IS_ERROR(rc) || strcmp(back, "alice@example.org") != 0) {
        fprintf(stderr, "redis: %s: %s\n", srs_geterrormsg(rc), srs_redis_last_error(h));
        srs_redis_detach(h);
        srs_close(h);
        return 1;
    }
    srs_redis_detach(h);
    srs_close(h);
    printf("%s -> %s\n", fwd, back);
    return 0;
}
EOF
read -r -a flags <<<"$(pkg-config --cflags --libs librewrite librewrite-redis)"
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$tmp/consumer/redis-pc" "$tmp/consumer/redis.c" \
  "${flags[@]}"
mkdir "$tmp/redis-consumer"
cp "$tmp/consumer/redis.c" "$tmp/redis-consumer/"
cat >"$tmp/redis-consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(redis C)
find_package(librewrite REQUIRED COMPONENTS redis)
add_executable(redis redis.c)
target_link_libraries(redis PRIVATE librewrite::librewrite-redis librewrite::librewrite)
EOF
cmake -S "$tmp/redis-consumer" -B "$tmp/redis-consumer/build" >"$tmp/redis-cmake.log" 2>&1 &&
  cmake --build "$tmp/redis-consumer/build" >>"$tmp/redis-cmake.log" 2>&1 || {
  cat "$tmp/redis-cmake.log"
  die "the CMake consumer of the Redis store failed"
}
server=-
if command -v redis-server >/dev/null; then
  mkdir "$tmp/redis"
  redis-server --port 0 --unixsocket "$tmp/redis/redis.sock" --save '' --appendonly no \
    --daemonize no --dir "$tmp/redis" --logfile "$tmp/redis/log" &
  redis_pid=$!
  for _ in $(seq 500); do
    [ -S "$tmp/redis/redis.sock" ] && break
    sleep 0.02
  done
  server=$tmp/redis/redis.sock
else
  echo "    no redis-server here: the programs only check a refused attach"
fi
for program in "$tmp/consumer/redis-pc" "$tmp/redis-consumer/build/redis"; do
  out=$("$program" "$server") || die "$program failed"
  echo "    $out"
  grep -qE "librewrite-redis.so.0 => (/usr)?/lib/$multiarch/librewrite-redis.so.0 " \
    <<<"$(ldd "$program")" || die "$program does not run with the installed librewrite-redis.so.0"
done
if [ -n "$redis_pid" ]; then
  kill -KILL "$redis_pid"
  wait "$redis_pid" 2>/dev/null || true
  redis_pid=
fi

step "the unit srs.service"
unit=/lib/systemd/system/srs.service
[ -f "$unit" ] || unit=/usr/lib/systemd/system/srs.service
[ -f "$unit" ] || die "srs.service is not installed"
grep -q '^ExecStart=/usr/bin/srs ' "$unit" || die "$unit does not run /usr/bin/srs"
enabled=$(find /etc/systemd/system -name srs.service 2>/dev/null)
[ -z "$enabled" ] || die "srs.service is enabled: $enabled"
running=$(find /proc -mindepth 1 -maxdepth 1 -regex '/proc/[0-9]+' -user srs 2>/dev/null || true)
[ -z "$running" ] || die "a process of the user srs runs: the unit was started"
if ! command -v systemd-analyze >/dev/null; then
  echo "    systemd-analyze verify: skipped, systemd-analyze is missing"
else
  printf '[Service]\nType=oneshot\nExecStart=%s\n' "$(command -v true)" >"$tmp/probe.service"
  if ! out=$(systemd-analyze verify --man=no "$tmp/probe.service" 2>&1) || [ -n "$out" ]; then
    echo "    systemd-analyze verify: skipped, it cannot verify units here: $out"
  else
    # The man page is checked above; verify need not find a man program.
    out=$(systemd-analyze verify --man=no "$unit" 2>&1) ||
      die "systemd-analyze verify $unit:"$'\n'"$out"
    [ -z "$out" ] || die "systemd-analyze verify $unit warns:"$'\n'"$out"
    echo "    systemd-analyze verify $unit: clean"
  fi
fi

# ---- Remove and purge -------------------------------------------------------
step "dpkg --remove, then --purge"
dpkg --remove "${packages[@]}" >"$tmp/remove.log" 2>&1 || {
  cat "$tmp/remove.log"
  die "dpkg --remove failed"
}
[ ! -e /usr/bin/srs ] || die "/usr/bin/srs is left after removal"
dpkg --purge "${packages[@]}" >"$tmp/purge.log" 2>&1 || {
  cat "$tmp/purge.log"
  die "dpkg --purge failed"
}
for p in "${packages[@]}"; do
  ! installed "$p" || die "$p is still known to dpkg: $(dpkg-query -W -f='${db:Status-Abbrev}' "$p")"
done
left=$(while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
done <"$tmp/new-paths")
[ -z "$left" ] || die "left after purge:"$'\n'"$left"
[ ! -e /etc/srs ] || die "/etc/srs is left after purge"
! getent passwd srs >/dev/null || die "the user srs is left after purge"
! getent group srs >/dev/null || die "the group srs is left after purge"
left=$(find /etc/systemd /var/lib/systemd -name 'srs.service*' 2>/dev/null || true)
[ -z "$left" ] || die "systemd state of srs.service is left after purge:"$'\n'"$left"

step "passed"
