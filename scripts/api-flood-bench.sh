#!/usr/bin/env bash
# Benchmark: does a flood of monitoring-API clients slow the mining? Mines
# against a development node with --api and compares the hash rate over
# quiet and flooded periods (see api_flood.py).
#
#   scripts/api-flood-bench.sh [seconds per period, default 20] [rounds, default 3] [build dir, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
rounds=${2:-3}
build=${3:-build}
cmake --build "$build" -j2 --target quorlen-devnode quorlen-gpu-miner >/dev/null

dir=$(mktemp -d)
http=18281; ws=16281; api=18282
"$build/quorlen-devnode" --http-port $http --ws-port $ws --data "$dir/chain.dat" 2>"$dir/node.log" &
node=$!
miner=
trap 'kill -INT $miner $node 2>/dev/null || true; wait 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 50); do grep -q '\[node\] height' "$dir/node.log" && break; sleep 0.1; done
"$build/quorlen-gpu-miner" --priv 1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100 --goida \
  --http http://127.0.0.1:$http --ws ws://127.0.0.1:$ws --api 127.0.0.1:$api --step-seconds 2 \
  --warmup-seconds 1 >"$dir/miner.out" 2>"$dir/miner.err" &
miner=$!
for _ in $(seq 600); do grep -q 'Hashrate' "$dir/miner.out" && break; sleep 0.2; done
sleep 5
# On a rig the flood comes from other machines: its client runs at the lowest
# priority here, so that what is measured is the miner's own cost of serving.
nice -n 19 python3 scripts/api_flood.py $api "$seconds" "$rounds"
# The API's thread is the one at nice 19; its CPU time over the whole run.
for stat in /proc/$miner/task/*/stat; do
  read -r -a f < <(sed 's/^.*) //' "$stat")
  if [ "${f[16]}" = 19 ]; then
    echo "API thread: $(( (f[11] + f[12]) * 1000 / $(getconf CLK_TCK) )) ms of CPU over the run"
  fi
done
echo "API log lines (refusals at the connection cap and the like): $(grep -c '\[api\]' "$dir/miner.err" || true)"
