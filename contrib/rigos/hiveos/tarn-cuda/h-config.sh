#!/usr/bin/env bash
# Writes the miner's JSON config from the flight sheet: pool URLs (CUSTOM_URL, one per line or
# comma-separated), payout (CUSTOM_TEMPLATE), worker (CUSTOM_PASS, else the rig's WORKER_NAME) and
# any other options as a JSON object (CUSTOM_USER_CONFIG), merged on top. Sourced by the agent or
# run, so it returns rather than exits; the old config stays in place when anything is wrong.

tarn_hive_config() {
  local dir conf user urls tmp
  dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
  . "$dir/h-manifest.conf"
  conf="$CUSTOM_CONFIG_FILENAME"
  if ! command -v jq >/dev/null 2>&1; then
    echo "h-config.sh: jq is not installed; $conf not written" >&2
    return 1
  fi
  urls="${CUSTOM_URL:-}"
  if [ -z "${urls//[[:space:],]/}" ]; then
    echo "h-config.sh: the flight sheet has no pool URL; $conf not written" >&2
    return 1
  fi
  if [ -z "${CUSTOM_TEMPLATE:-}" ]; then
    echo "h-config.sh: the flight sheet has no wallet (payout) template; $conf not written" >&2
    return 1
  fi
  user="${CUSTOM_USER_CONFIG:-}"
  [ -n "${user//[[:space:]]/}" ] || user='{}'
  if ! jq -e 'type == "object"' >/dev/null 2>&1 <<<"$user"; then
    echo "h-config.sh: the extra config is not a JSON object ({\"temp-limit\": 85}); $conf not written" >&2
    return 1
  fi
  mkdir -p "$(dirname "$conf")" || return 1
  tmp="$(mktemp "$conf.XXXXXX")" || return 1
  # jq builds every value, so quotes and backslashes in the flight sheet stay text. The API
  # address is set last: h-stats.sh reads it on loopback whatever the extra config says.
  if jq -n --arg urls "$urls" --arg payout "$CUSTOM_TEMPLATE" \
        --arg worker "${CUSTOM_PASS:-${WORKER_NAME:-}}" --arg api "127.0.0.1:$TARN_API_PORT" \
        --argjson user "$user" '
      {pool: ({urls: [$urls | splits("[\\s,]+") | select(length > 0)], payout: $payout}
              + (if $worker == "" then {} else {worker: $worker} end))}
      * $user | .api = $api' >"$tmp" && chmod 0640 "$tmp" && mv -f "$tmp" "$conf"; then
    return 0
  fi
  rm -f "$tmp"
  echo "h-config.sh: could not write $conf" >&2
  return 1
}

tarn_hive_config
