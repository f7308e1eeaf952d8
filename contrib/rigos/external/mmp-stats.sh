#!/usr/bin/env bash
# Prints the miner's figures for an mmpOS-style rig as one JSON line, read from its /summary:
# busid (decimal PCI bus numbers), hash (kH/s per GPU over the last 60 s), units, air (accepted,
# invalid, rejected; invalid counts hits the miner's own re-check refused), miner_name and
# miner_version. The API port is the first argument, else the conf's. When the API does not
# answer, or answers something unreadable, the arrays are empty and air is zeros; a line on
# standard error says why, and the status is still 0 so the rig shows the miner as idle.
dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$dir/mmp-external.conf"
port="${1:-$EXTERNAL_API_PORT}"
url="http://127.0.0.1:$port/summary"
down="{\"busid\":[],\"hash\":[],\"units\":\"khs\",\"air\":[0,0,0],\"miner_name\":\"$EXTERNAL_NAME\",\"miner_version\":\"$EXTERNAL_VERSION\"}"

if ! command -v jq >/dev/null 2>&1; then
  echo "mmp-stats.sh: jq is not installed; reporting no hash rate" >&2
  echo "$down"
  exit 0
fi
if ! summary="$(curl -sS -f --max-time 5 "$url" 2>&1)"; then
  echo "mmp-stats.sh: the tarn-cuda API at $url: ${summary##*curl: }; reporting no hash rate" >&2
  echo "$down"
  exit 0
fi
if ! out="$(jq -ce --arg name "$EXTERNAL_NAME" '
    def bus: if type == "string" and test("^[0-9a-fA-F]+:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}\\.[0-7]$")
             then (split(":")[1] | ascii_downcase | explode
                   | reduce .[] as $c (0; . * 16 + (if $c >= 97 then $c - 87 else $c - 48 end)))
             else null end;
    {busid: [.gpus[] | .pci_bus_id | bus],
     hash: [.gpus[] | .hashrate["60s"] / 1000],
     units: "khs",
     air: [.total.shares.accepted, .total.device_faults, .total.shares.rejected],
     miner_name: $name,
     miner_version: .version}
    | select((.miner_version | type) == "string" and (.air | all(type == "number")))' \
    <<<"$summary" 2>/dev/null)" || [ -z "$out" ]; then
  echo "mmp-stats.sh: the tarn-cuda API at $url: its answer is not a tarn-cuda summary; reporting no hash rate" >&2
  out="$down"
fi
echo "$out"
exit 0
