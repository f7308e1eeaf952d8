#!/usr/bin/env bash
# Runs tarn-cuda in the foreground with the config h-config.sh wrote, its log where the agent
# looks, and the API on loopback for h-stats.sh.
dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$dir/h-manifest.conf"

if [ ! -s "$CUSTOM_CONFIG_FILENAME" ]; then
  echo "h-run.sh: no config at $CUSTOM_CONFIG_FILENAME: apply the flight sheet (h-config.sh) first" >&2
  exit 1
fi
# The binary of this folder first, else the one installed by the package.
bin="$dir/tarn-cuda"
if [ ! -x "$bin" ]; then
  bin="$(command -v tarn-cuda)" || {
    echo "h-run.sh: tarn-cuda is neither in $dir nor on PATH" >&2
    exit 1
  }
fi
mkdir -p "$(dirname "$CUSTOM_LOG_BASENAME")" || exit 1
exec "$bin" --config "$CUSTOM_CONFIG_FILENAME" --log-file "$CUSTOM_LOG_BASENAME.log" \
  --api "127.0.0.1:$TARN_API_PORT" pool
