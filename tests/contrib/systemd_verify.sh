#!/bin/sh
# contrib/systemd/tarn-cuda.service through systemd-analyze verify, its ExecStart pointed at the
# built binary (verify insists that the program exists). Any finding fails: verify itself returns
# 0 for unknown keys and values it cannot parse.
# usage: systemd_verify.sh UNIT BINARY
set -u
unit=$1
binary=$2
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 0
fi
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=/usr/bin/tarn-cuda |ExecStart=$binary |" "$unit" >"$dir/tarn-cuda.service"
if ! grep -q "^ExecStart=$binary " "$dir/tarn-cuda.service"; then
  echo "FAIL: the unit does not start /usr/bin/tarn-cuda"
  exit 1
fi
out=$(systemd-analyze verify "$dir/tarn-cuda.service" 2>&1)
rc=$?
if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
  printf 'FAIL: systemd-analyze verify (status %s):\n%s\n' "$rc" "$out"
  exit 1
fi
echo "OK: systemd-analyze verify found nothing"
