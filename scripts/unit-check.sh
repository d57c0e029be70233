#!/usr/bin/env bash
# Unit check: contrib/srs.service and contrib/srs-socketmap.service pass
# `systemd-analyze verify` without a word, with ExecStart= pointed at a
# built srs (verify wants the program to exist), start the daemon on their
# socket with the secrets from a file, and are ready once it listens.
#
#     scripts/unit-check.sh [PATH-TO-SRS]     (default: build/tool/srs)
#
# Skipped, with a message and status 0, where systemd-analyze is missing or
# cannot verify even a trivial unit (some containers).
set -euo pipefail
cd "$(dirname "$0")/.."

srs=${1:-build/tool/srs}

if ! command -v systemd-analyze >/dev/null; then
  echo "unit-check: skipped, systemd-analyze is missing (Debian package: systemd)"
  exit 0
fi
if [ ! -x "$srs" ]; then
  echo "unit-check: $srs is not an executable; build first or give the path of srs" >&2
  exit 1
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/srs-unit.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# Can systemd-analyze verify here at all?
printf '[Service]\nType=oneshot\nExecStart=%s\n' "$(command -v true)" >"$tmp/probe.service"
if ! out=$(systemd-analyze verify --man=no "$tmp/probe.service" 2>&1) || [ -n "$out" ]; then
  echo "unit-check: skipped, systemd-analyze cannot verify units here: $out"
  exit 0
fi

# Each unit of contrib/: the line protocol's (srs.service, socket in its
# runtime directory) and the socketmap one (srs-socketmap.service, socket
# under Postfix's queue directory).
check_unit() { # UNIT SOCKET-OPTION
  local unit=$1 socket_option=$2 exec_start pid_file out name
  name=$(basename "$unit")
  fail() { echo "unit-check: $name: $*" >&2; exit 1; }
  # The daemon's command line: -d, the socket, the secrets from a file
  # (never --secret=, which the process list shows).
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  for want in ' -d ' " $socket_option" ' --secretfile=/'; do
    case " $exec_start " in
      *"$want"*) ;;
      *) fail "ExecStart= lacks '${want# }': $exec_start" ;;
    esac
  done
  case " $exec_start " in
    *' --secret='*) fail "ExecStart= passes a secret on the command line" ;;
  esac
  # Readiness: Type=forking, and the PID file systemd reads is the one srs
  # writes; a reload is SIGHUP; the limits are set.
  pid_file=$(sed -n 's/^PIDFile=//p' "$unit")
  grep -qx 'Type=forking' "$unit" || fail "not Type=forking"
  case " $exec_start " in
    *" --pidfile=$pid_file "*) ;;
    *) fail "ExecStart= does not write PIDFile=$pid_file" ;;
  esac
  grep -q '^ExecReload=.*kill -HUP \$MAINPID' "$unit" || fail "ExecReload= does not send SIGHUP"
  for key in TasksMax LimitNOFILE KillMode RuntimeDirectory; do
    grep -q "^$key=" "$unit" || fail "$key= missing"
  done

  # Verify a copy that runs the built program; documentation is not looked
  # up (the man page need not be installed here).
  sed "s#^ExecStart=[^ ]*#ExecStart=$srs_abs#" "$unit" >"$tmp/$name"
  out=$(systemd-analyze verify --man=no "$tmp/$name" 2>&1) || fail "systemd-analyze verify failed:"$'\n'"$out"
  [ -z "$out" ] || fail "systemd-analyze verify warns:"$'\n'"$out"
  echo "unit-check: $name verifies"
}

srs_abs=$(cd "$(dirname "$srs")" && pwd)/$(basename "$srs")
check_unit contrib/srs.service '--socket=/run/srs/'
grep -qx 'RuntimeDirectory=srs' contrib/srs.service || { echo "unit-check: RuntimeDirectory=srs missing" >&2; exit 1; }
check_unit contrib/srs-socketmap.service '--socketmap=/var/spool/postfix/srs/'
echo "unit-check: passed"
