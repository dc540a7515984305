#!/usr/bin/env bash
# A long run against a flapping node: the development node is stopped and
# restarted every few seconds while the miner mines. Prints the miner's peak
# resident memory (VmHWM) and its resident memory over time, and checks that
# it still stops cleanly at the end.
#
#   scripts/soak.sh [seconds, default 600] [flap period in seconds, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-600}
period=${2:-20}
cmake --build build -j"$(nproc)" --target quorlen-gpu-miner quorlen-devnode >/dev/null

dir=$(mktemp -d)
http=18081; ws=16081
start_node() {
  build/quorlen-devnode --http-port $http --ws-port $ws --data "$dir/chain.dat" --block-seconds 2 \
    --target 00ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff --ping-seconds 1 >>"$dir/node.log" 2>&1 &
  node=$!
}
start_node
build/quorlen-gpu-miner --priv "$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')" --http http://127.0.0.1:$http \
  --ws ws://127.0.0.1:$ws --start-batch 4 --max-batch 4 --step-seconds 1 --warmup-seconds 0 \
  >"$dir/miner.out" 2>"$dir/miner.err" &
miner=$!

end=$((SECONDS + duration))
next_flap=$((SECONDS + period))
while [ $SECONDS -lt $end ]; do
  sleep 5
  rss=$(awk '/VmRSS/ {print $2}' /proc/$miner/status)
  echo "t=${SECONDS}s rss=${rss}kB"
  if [ $SECONDS -ge $next_flap ]; then
    kill -INT $node; wait $node || true
    sleep 2
    start_node
    next_flap=$((SECONDS + period))
  fi
done
peak=$(awk '/VmHWM/ {print $2}' /proc/$miner/status)
kill -INT $miner
if ! wait $miner; then echo "soak: the miner did not stop cleanly" >&2; exit 1; fi
kill -INT $node; wait $node || true
echo "peak RSS ${peak} kB over ${duration}s; submitted: $(grep -c 'OK ws=1' "$dir/miner.out") OK," \
  "$(grep -c 'FAIL ws=0' "$dir/miner.out") FAIL; accepted by the node: $(grep -c 'accepted block' "$dir/node.log")"
rm -rf "$dir"
