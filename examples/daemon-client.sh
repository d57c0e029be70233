#!/usr/bin/env bash
# A client of the srs daemon in the shell, with socat.
#
#     examples/daemon-client.sh [PATH-TO-SRS]
#
# Starts `srs -d` on a socket in a private temporary directory (the secret
# in a secrets file of mode 0600 there), asks it to forward a sender and to
# reverse the result, checks that the sender comes back, stops the daemon
# and removes the directory. Without an argument srs is taken from PATH.
# Exit status 0 when every answer was the expected one.
#
# The protocol: connect, write one line, read the reply until the daemon
# closes the connection.
#     forward ADDRESS ALIAS   ->  SRS0=...@ALIAS       or  ERROR: Address '...' failed - ...
#     reverse ADDRESS         ->  the original sender  or  ERROR: Could not validate address '...' - ...
#     anything else           ->  ERROR
set -euo pipefail

srs=${1:-$(command -v srs || true)}
if [ -z "$srs" ] || [ ! -x "$srs" ]; then
  echo "daemon-client: srs not found; give its path as the first argument" >&2
  exit 2
fi
if ! command -v socat >/dev/null; then
  echo "daemon-client: socat is needed" >&2
  exit 2
fi

sender=alice@example.org
alias=forwarder.example

dir=$(mktemp -d "${TMPDIR:-/tmp}/srs-client.XXXXXX")
sock=$dir/srsd

# The daemon's processes: srs forks without exec, so the listener (and any
# connection process) has the very argument list it was started with, and
# the socket argument names our private directory. Matched as a whole
# argument, by process id.
daemon_pids() {
  local p
  for p in /proc/[0-9]*; do
    if tr '\0' '\n' <"$p/cmdline" 2>/dev/null | grep -Fxq -- "--socket=$sock"; then
      echo "${p#/proc/}"
    fi
  done
}

cleanup() {
  local pids
  pids=$(daemon_pids)
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086 # one word per pid
    kill $pids 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

# One request, one reply. -t: how long socat waits for the reply after it
# has sent the request; the daemon answers at once and closes.
ask() {
  printf '%s\n' "$1" | socat -t 5 - "UNIX-CONNECT:$sock"
}

(umask 077 && printf '%s\n' "example secret $$ $RANDOM" >"$dir/secrets")
# The starting process reports and exits; the daemon keeps the log open.
"$srs" -d "--socket=$sock" "--secretfile=$dir/secrets" >"$dir/daemon.log" 2>&1

# Ready once a malformed request gets its ERROR (the socket file appears
# just before the daemon listens on it).
for _ in $(seq 50); do
  if [ -S "$sock" ] && [ "$(ask hello 2>/dev/null)" = ERROR ]; then
    break
  fi
  sleep 0.1
done
if [ "$(ask hello 2>/dev/null)" != ERROR ]; then
  echo "daemon-client: the daemon did not answer; its output:" >&2
  cat "$dir/daemon.log" >&2
  exit 1
fi

forwarded=$(ask "forward $sender $alias")
echo "forward  $sender -> $forwarded"
case $forwarded in
  SRS0=*@"$alias") ;;
  *)
    echo "daemon-client: unexpected forward reply: $forwarded" >&2
    exit 1
    ;;
esac

restored=$(ask "reverse $forwarded")
echo "reverse  $forwarded -> $restored"
if [ "$restored" != "$sender" ]; then
  echo "daemon-client: reverse gave '$restored', expected '$sender'" >&2
  exit 1
fi

# A forged hash is refused.
forged=$(ask "reverse SRS0=AAAAAA=${forwarded#SRS0=*=}")
case $forged in
  "ERROR: Could not validate address "*) echo "forged   -> $forged" ;;
  *)
    echo "daemon-client: a forged address was accepted: $forged" >&2
    exit 1
    ;;
esac
echo "daemon-client: all replies as expected"
