#!/usr/bin/env bash
# srs under valgrind's memcheck: the one-shot program over good and bad
# input, then the daemon serving a few connections until its orderly end.
# Any memory error or definitely lost block fails the run.
#
#   scripts/memcheck.sh [PATH-TO-SRS]      (default: build/tool/srs)
#
# Prints one line per run and a summary; exits 0 only when every run is
# clean. Needs valgrind and perl (the daemon's client).
#
# The daemon is made to read its secrets file again (SIGHUP) and then ended
# in order (SIGTERM): it frees what it holds and returns from main(), and
# valgrind checks it for leaks. Each connection process is checked when it
# ends with _exit(). Under valgrind, CPUID does not report the SHA extensions, so the
# library's portable SHA-1 is the one checked; its results are compared with
# those of the program run natively.
set -uo pipefail

srs=${1:-build/tool/srs}
secret=memcheck-secret
sender=alice@example.org
alias_domain=fwd.example

command -v valgrind >/dev/null || { echo "memcheck: valgrind not found"; exit 2; }
command -v perl >/dev/null || { echo "memcheck: perl not found"; exit 2; }
[ -x "$srs" ] || { echo "memcheck: $srs not found (build first)"; exit 2; }

work=$(mktemp -d /tmp/srs-memcheck-XXXXXX)
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

valgrind=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
          --errors-for-leak-kinds=definite)
runs=0
failed=0

fail() {
  echo "FAIL $1"
  failed=$((failed + 1))
  if [ -n "${2:-}" ] && [ -f "$2" ]; then sed -n '1,60p' "$2" | sed 's/^/     /'; fi
}

# A valgrind log is clean: no error, nothing definitely lost, no instruction
# that valgrind could not run, and the leak check done.
log_clean() {
  grep -q 'ERROR SUMMARY: 0 errors' "$1" &&
    grep -q 'HEAP SUMMARY' "$1" &&
    ! grep -q 'unhandled instruction' "$1" &&
    { grep -q 'definitely lost: 0 bytes' "$1" || grep -q 'All heap blocks were freed' "$1" ||
      grep -q 'no leaks are possible' "$1"; }
}

# run NAME STATUS [ARG...]: the one-shot program under memcheck; it must end
# with STATUS and a clean log. Its standard output is left in $work/NAME.out.
run() {
  local name=$1 want=$2
  shift 2
  runs=$((runs + 1))
  local log=$work/$name.log
  timeout 120 "${valgrind[@]}" --log-file="$log" "$srs" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local status=$?
  if [ "$status" -eq 99 ] || ! log_clean "$log"; then
    fail "$name: memcheck found errors" "$log"
  elif [ "$status" -ne "$want" ]; then
    fail "$name: exit status $status, expected $want" "$work/$name.err"
  else
    echo "ok   $name"
  fi
}

# expect NAME TEXT: the output of run NAME contains TEXT.
expect() {
  grep -qF -- "$2" "$work/$1.out" || fail "$1: output lacks '$2': $(head -c 300 "$work/$1.out")"
}

# ---- The one-shot program -----------------------------------------------------

native_forward=$("$srs" --forward --secret="$secret" --alias="$alias_domain" "$sender")
run forward 255 --forward --secret="$secret" --alias="$alias_domain" "$sender"
forwarded=$(cat "$work/forward.out")
# The same address as the native run (SHA extensions, where the CPU has them).
[ "$forwarded" = "$native_forward" ] ||
  fail "forward under valgrind gave '$forwarded', natively '$native_forward'"

run reverse 255 --reverse --secret="$secret" "$forwarded"
expect reverse "$sender"
run reverse-plain 255 --reverse --secret="$secret" "$sender"
expect reverse-plain "not a SRS address"

# A forged hash: its first character changed.
hash_first=${forwarded:5:1}
[ "$hash_first" = A ] && other=B || other=A
forged="${forwarded:0:5}$other${forwarded:6}"
run reverse-forged 255 --reverse --secret="$secret" "$forged"
expect reverse-forged "forged"

# A day stamp 40 days old: bits 5..9 and 0..4 of the day number.
alphabet=ABCDEFGHIJKLMNOPQRSTUVWXYZ234567
day=$(($(date +%s) / 86400 - 40))
stamp="${alphabet:$(((day >> 5) & 31)):1}${alphabet:$((day & 31)):1}"
run reverse-expired 255 --reverse --secret="$secret" "SRS0=abcdef=$stamp=example.org=alice@$alias_domain"
expect reverse-expired "expired"

long_local=$(head -c 300 /dev/zero | tr '\0' 'x')
run forward-too-long 255 --forward --secret="$secret" --alias="$alias_domain" "u@$long_local.org"
expect forward-too-long "too long"
run forward-bad-local 255 --forward --secret="$secret" --alias="$alias_domain" "$long_local@example.org"
expect forward-bad-local "invalid"
run reverse-too-long 255 --reverse --secret="$secret" "SRS0=abcdef=AA=example.org=$long_local$long_local@$alias_domain"
run forward-empty 255 --forward --secret="$secret" --alias="$alias_domain" ""
run reverse-empty 255 --reverse --secret="$secret" ""
run several-addresses 255 --reverse --secret="$secret" "$forwarded" --address="$forged" "$sender"

# Secrets from a file: the address made with the second line's secret.
printf 'older-secret\n\n%s\n' "$secret" >"$work/secrets"
run secrets-file 255 --reverse --secretfile="$work/secrets" "$forwarded"
expect secrets-file "$sender"
run secrets-file-missing 1 --reverse --secretfile="$work/missing" "$forwarded"

run help 0 --help
run unknown-flag 1 --forward --bogus --secret="$secret" "$sender"
run no-secret 1 --forward --alias="$alias_domain" "$sender"
run no-alias 1 --forward --secret="$secret" "$sender"

# ---- The daemon -----------------------------------------------------------------

# ask REQUEST: one request on a fresh connection; prints the reply.
ask() {
  timeout 60 perl -e '
    use strict; use IO::Socket::UNIX; use Socket;
    my ($path, $request) = @ARGV;
    my $s = IO::Socket::UNIX->new(Type => SOCK_STREAM, Peer => $path) or exit 1;
    print $s $request; shutdown($s, 1);
    local $/; my $reply = <$s>; print $reply // "";' "$work/sock" "$1"
}

runs=$((runs + 1))
printf '%s\n' "$secret" "older-secret" >"$work/secrets"
chmod 600 "$work/secrets"
timeout 120 "${valgrind[@]}" --log-file="$work/daemon.%p.log" "$srs" -d --socket="$work/sock" \
  --secretfile="$work/secrets" --pidfile="$work/pid" --syslog="$work/log" \
  >"$work/daemon-start.out" 2>&1
start_status=$?
# The daemon: the process with a log of its own that is still running.
for _ in $(seq 300); do
  for log in "$work"/daemon.*.log; do
    pid=${log##*/daemon.}
    pid=${pid%.log}
    [ -d "/proc/$pid" ] && [ -S "$work/sock" ] && daemon_pid=$pid
  done
  [ -n "$daemon_pid" ] && break
  sleep 0.1
done

if [ "$start_status" -ne 0 ] || [ -z "$daemon_pid" ]; then
  fail "daemon: did not start (status $start_status)" "$work/daemon-start.out"
else
  requests=0
  check_reply() { # REQUEST EXPECTED
    requests=$((requests + 1))
    local got
    got=$(ask "$1")
    [ "$got" = "$2" ] || fail "daemon: '${1:0:60}' answered '${got:0:200}', expected '${2:0:200}'"
  }
  check_reply "forward $sender $alias_domain"$'\n' "$native_forward"
  check_reply "reverse $forwarded"$'\n' "$sender"
  check_reply "reverse $forged"$'\n' "ERROR: Could not validate address '$forged' - Hash verification failed (forged)"
  check_reply "reverse $sender"$'\n' "ERROR: Could not validate address '$sender' - Address is not a SRS address"
  check_reply "forward $long_local$long_local$long_local$long_local"$'\n' "ERROR"
  check_reply "junk"$'\n' "ERROR"
  check_reply "" "ERROR"

  # A reload: the same secrets file, read again; then the orderly end.
  [ "$(cat "$work/pid" 2>/dev/null)" = "$daemon_pid" ] || fail "daemon: its PID file is wrong"
  kill -HUP "$daemon_pid"
  sleep 1
  check_reply "reverse $forwarded"$'\n' "$sender"
  kill -TERM "$daemon_pid"
  for _ in $(seq 600); do
    [ -d "/proc/$daemon_pid" ] || break
    sleep 0.1
  done
  if [ -d "/proc/$daemon_pid" ]; then
    fail "daemon: did not end after SIGTERM"
  else
    # Every process of the daemon's run: the starting one, the daemon and
    # one connection process per request.
    sleep 1
    logs=0
    dirty=0
    for log in "$work"/daemon.*.log; do
      logs=$((logs + 1))
      log_clean "$log" || { dirty=$((dirty + 1)); fail "daemon: ${log##*/}" "$log"; }
    done
    grep -q 'HEAP SUMMARY' "$work/daemon.$daemon_pid.log" ||
      fail "daemon: no leak check at its end" "$work/daemon.$daemon_pid.log"
    if [ "$logs" -lt $((requests + 2)) ]; then
      fail "daemon: $logs logs for $requests requests"
    elif [ "$dirty" -eq 0 ]; then
      echo "ok   daemon: $requests requests, orderly end, $logs processes clean"
    fi
  fi
  daemon_pid=
fi

sha=no
grep -qw sha_ni /proc/cpuinfo && sha=yes
echo "memcheck: $runs runs, $failed failures (CPU with SHA extensions: $sha; valgrind runs the portable SHA-1)"
[ "$failed" -eq 0 ]
