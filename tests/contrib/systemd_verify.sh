#!/bin/sh
# contrib/systemd/tarn-cuda.service against the built program: its ExecStart words, with the
# example config in place of /etc/tarn-cuda/config.json, must pass --check-config; then the unit
# goes through systemd-analyze verify with ExecStart pointed at the binary (verify insists that the
# program exists). Any finding fails: verify returns 0 for unknown keys and unparsable values.
# usage: systemd_verify.sh UNIT BINARY EXAMPLE_CONFIG
set -u
unit=$1
binary=$2
example=$3
words=$(sed -n 's|^ExecStart=/usr/bin/tarn-cuda ||p' "$unit")
if [ -z "$words" ]; then
  echo "FAIL: the unit does not start /usr/bin/tarn-cuda"
  exit 1
fi
# shellcheck disable=SC2086  # the words are the unit's, split as systemd splits them (no quotes)
if ! out=$("$binary" --check-config $(echo "$words" | sed "s|/etc/tarn-cuda/config.json|$example|") 2>&1); then
  printf 'FAIL: the ExecStart words with the example config:\n%s\n' "$out"
  exit 1
fi
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 0
fi
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=/usr/bin/tarn-cuda |ExecStart=$binary |" "$unit" >"$dir/tarn-cuda.service"
out=$(systemd-analyze verify "$dir/tarn-cuda.service" 2>&1)
rc=$?
if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
  printf 'FAIL: systemd-analyze verify (status %s):\n%s\n' "$rc" "$out"
  exit 1
fi
echo "OK: the example config passes and systemd-analyze verify found nothing"
