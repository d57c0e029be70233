#!/usr/bin/env bash
# Unit check: contrib/srs.service passes `systemd-analyze verify` without a
# word, with ExecStart= pointed at a built srs (verify wants the program to
# exist), and its daemon serves the socket in its runtime directory from
# the secrets file.
#
#     scripts/unit-check.sh [PATH-TO-SRS]     (default: build/tool/srs)
#
# Skipped, with a message and status 0, where systemd-analyze is missing or
# cannot verify even a trivial unit (some containers).
set -euo pipefail
cd "$(dirname "$0")/.."

unit=contrib/srs.service
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

# The daemon's command line: -d, the socket inside RuntimeDirectory=srs,
# the secrets from a file (never --secret=, which the process list shows).
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
for want in ' -d ' ' --socket=/run/srs/' ' --secretfile=/'; do
  case " $exec_start " in
    *"$want"*) ;;
    *) echo "unit-check: ExecStart= lacks '${want# }': $exec_start" >&2; exit 1 ;;
  esac
done
case " $exec_start " in
  *' --secret='*) echo "unit-check: ExecStart= passes a secret on the command line" >&2; exit 1 ;;
esac
grep -qx 'RuntimeDirectory=srs' "$unit" || { echo "unit-check: RuntimeDirectory=srs missing" >&2; exit 1; }
# Readiness: Type=forking, and the PID file systemd reads is the one srs
# writes; a reload is SIGHUP; the limits are set.
pid_file=$(sed -n 's/^PIDFile=//p' "$unit")
grep -qx 'Type=forking' "$unit" || { echo "unit-check: not Type=forking" >&2; exit 1; }
case " $exec_start " in
  *" --pidfile=$pid_file "*) ;;
  *) echo "unit-check: ExecStart= does not write PIDFile=$pid_file" >&2; exit 1 ;;
esac
grep -q '^ExecReload=.*kill -HUP \$MAINPID' "$unit" || { echo "unit-check: ExecReload= does not send SIGHUP" >&2; exit 1; }
for key in TasksMax LimitNOFILE KillMode; do
  grep -q "^$key=" "$unit" || { echo "unit-check: $key= missing" >&2; exit 1; }
done

# Verify a copy that runs the built program; documentation is not looked
# up (the man page need not be installed here).
srs_abs=$(cd "$(dirname "$srs")" && pwd)/$(basename "$srs")
sed "s#^ExecStart=[^ ]*#ExecStart=$srs_abs#" "$unit" >"$tmp/srs.service"
out=$(systemd-analyze verify --man=no "$tmp/srs.service" 2>&1) || {
  echo "unit-check: systemd-analyze verify failed:"$'\n'"$out" >&2
  exit 1
}
if [ -n "$out" ]; then
  echo "unit-check: systemd-analyze verify warns:"$'\n'"$out" >&2
  exit 1
fi
echo "unit-check: passed"
