#!/usr/bin/env bash
# Time from start to every worker mining, for two workers on one device
# (--devices 0,0), on a first start (no tuning remembered) and on a restart
# with the same --tune-file. "Mining" means the API's /summary shows hashes
# for every worker. No node is needed: the target is set so that nothing is
# ever a hit.
#
#   scripts/measure-restart.sh [BUILD_DIR] [extra miner options...]
#   e.g. scripts/measure-restart.sh build --start-batch 8 --max-batch 64 --step-seconds 4 --warmup-seconds 1
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
nice -n 5 cmake --build "$build" -j2 --target quorlen-gpu-miner >/dev/null
miner=$build/quorlen-gpu-miner
dir=$(mktemp -d)
pid=
trap '[[ -n $pid ]] && kill -INT $pid 2>/dev/null; rm -rf "$dir"' EXIT

# Starts the miner and prints the seconds until every worker has hashed.
time_to_mining() {
  local log=$dir/run$1.log start now base
  start=$(date +%s.%N)
  DIFF_OVERRIDE=00 "$miner" --priv "$(printf '%064d' 1)" --goida --devices 0,0 --ws "" --http http://127.0.0.1:1 \
    --api 127.0.0.1:0 --tune-file "$dir/tune.json" "${@:2}" >/dev/null 2>"$log" &
  pid=$!
  until base=$(grep -so 'http://127.0.0.1:[0-9]*/' "$log" | head -n1) && [[ -n $base ]]; do sleep 0.1; done
  until curl -sf "${base}summary" | python3 -c '
import json, sys
g = json.load(sys.stdin)["gpus"]
sys.exit(0 if len(g) == 2 and all(x["hashes"] > 0 for x in g) else 1)' 2>/dev/null; do
    kill -0 $pid 2>/dev/null || { echo "the miner ended:" >&2; cat "$log" >&2; exit 1; }
    sleep 0.1
  done
  now=$(date +%s.%N)
  kill -INT $pid; wait $pid || true; pid=
  python3 -c "print(f'{$now - $start:.1f}')"
}

first=$(time_to_mining 1 "$@")
second=$(time_to_mining 2 "$@")
echo "first start: ${first} s to both workers mining (full tune of each)"
grep -h '^\[tune\] best' "$dir/run1.log" | sed 's/^/  /'
echo "restart:     ${second} s to both workers mining (remembered sizes checked)"
grep -h '^\[tune\] GPU' "$dir/run2.log" | sed 's/^/  /'
