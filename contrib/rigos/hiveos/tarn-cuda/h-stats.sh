#!/usr/bin/env bash
# Sets khs (total kH/s) and stats (JSON) for the HiveOS agent from the miner's /summary.
# Sourced by the agent, so it sets variables and never exits. When the API does not answer, or
# answers something unreadable, khs is 0 and stats has empty arrays; a line on standard error
# says why.

tarn_hive_stats() {
  local dir url summary why=""
  dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
  . "$dir/h-manifest.conf"
  url="http://127.0.0.1:$TARN_API_PORT/summary"
  khs=0
  if ! command -v jq >/dev/null 2>&1; then
    stats="{\"hs\":[],\"hs_units\":\"khs\",\"temp\":[],\"fan\":[],\"uptime\":0,\"ver\":\"$CUSTOM_VERSION\",\"ar\":[0,0],\"algo\":\"poseidon2\",\"bus_numbers\":[]}"
    echo "h-stats.sh: jq is not installed; reporting 0 kH/s" >&2
    return 0
  fi
  stats="$(jq -nc --arg ver "$CUSTOM_VERSION" --arg algo "${CUSTOM_ALGO:-poseidon2}" \
    '{hs: [], hs_units: "khs", temp: [], fan: [], uptime: 0, ver: $ver, ar: [0, 0],
      algo: $algo, bus_numbers: []}')"
  if ! summary="$(curl -sS -f --max-time 5 "$url" 2>&1)"; then
    why="${summary##*curl: }"
  else
    # Rates in kH/s over the last 60 s; a sensor the miner has no reading of is null; the bus
    # number is the decimal PCI bus of "DOMAIN:BUS:DEVICE.FUNCTION", null for the host emulation.
    local got
    if got="$(jq -ce --arg algo "${CUSTOM_ALGO:-poseidon2}" '
        def bus: if type == "string" and test("^[0-9a-fA-F]+:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}\\.[0-7]$")
                 then (split(":")[1] | ascii_downcase | explode
                       | reduce .[] as $c (0; . * 16 + (if $c >= 97 then $c - 87 else $c - 48 end)))
                 else null end;
        {khs: (.total.hashrate["60s"] / 1000),
         stats: {hs: [.gpus[] | .hashrate["60s"] / 1000],
                 hs_units: "khs",
                 temp: [.gpus[] | .telemetry.temperature_c // null],
                 fan: [.gpus[] | .telemetry.fan_percent // null],
                 uptime: (.uptime_s | floor),
                 ver: .version,
                 ar: [.total.shares.accepted, .total.shares.rejected],
                 algo: $algo,
                 bus_numbers: [.gpus[] | .pci_bus_id | bus]}}
        | select((.khs | type) == "number" and (.stats.ver | type) == "string")' \
        <<<"$summary" 2>/dev/null)" && [ -n "$got" ]; then
      khs="$(jq -r .khs <<<"$got")"
      stats="$(jq -c .stats <<<"$got")"
    else
      why="its answer is not a tarn-cuda summary"
    fi
  fi
  [ -z "$why" ] || echo "h-stats.sh: the tarn-cuda API at $url: $why; reporting 0 kH/s" >&2
}

tarn_hive_stats
