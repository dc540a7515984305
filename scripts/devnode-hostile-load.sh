#!/usr/bin/env bash
# The development node under a mixed hostile load (see
# devnode-hostile-load.py) with a low descriptor limit, so that the bursts
# really run it out of descriptors, while a miner mines on it. Reports the
# node's resident memory over time, whether it still serves and how the
# miner's blocks kept coming; fails if the node crashed or stopped serving,
# or the miner's blocks stopped being accepted.
#
#   scripts/devnode-hostile-load.sh [seconds, default 60] [build dir, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-60}
build=${2:-build}
cmake --build "$build" -j2 --target quorlen-devnode quorlen-gpu-miner >/dev/null

dir=$(mktemp -d)
http=18181; ws=16181
prlimit --nofile=128 -- "$build/quorlen-devnode" --http-port $http --ws-port $ws --data "$dir/chain.dat" \
  --ping-seconds 1 --idle-seconds 10 --block-seconds 1 2>"$dir/node.log" &
node=$!
miner=
trap 'kill -INT $node $miner 2>/dev/null || true; rm -rf "$dir"' EXIT
for _ in $(seq 50); do grep -q '\[node\] height' "$dir/node.log" && break; sleep 0.1; done

# A miner with a short tuning, mining from before the load starts.
QUORLEN_PRIV=1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100 "$build/quorlen-gpu-miner" --goida \
  --http http://127.0.0.1:$http --ws ws://127.0.0.1:$ws --start-batch 2 --max-batch 2 --step-seconds 1 \
  --warmup-seconds 0 >"$dir/miner.out" 2>"$dir/miner.log" &
miner=$!
for _ in $(seq 600); do grep -q 'OK ws=1' "$dir/miner.out" && break; sleep 0.1; done

status=0
python3 scripts/devnode-hostile-load.py $node $http $ws "$duration" $miner || status=$?
kill -INT $miner
wait $miner || { echo "the miner did not stop cleanly"; status=1; }
if ! kill -0 $node 2>/dev/null; then echo "the node died: $(tail -3 "$dir/node.log")"; exit 1; fi
kill -INT $node
if ! wait $node; then echo "the node did not stop cleanly"; status=1; fi
echo "node log: $(wc -l <"$dir/node.log") lines; accept failures: $(grep -c 'accept failed' "$dir/node.log" || true)," \
  "dropped non-readers: $(grep -c 'leaves its messages unread' "$dir/node.log" || true)," \
  "dropped silent: $(grep -c 'left a ping unanswered' "$dir/node.log" || true)," \
  "oversized refusals: $(grep -c 'refused a request\|went over' "$dir/node.log" || true)"
echo "miner: $(grep -c 'OK ws=1' "$dir/miner.out" || true) blocks sent, $(grep -c 'FAIL ws=0' "$dir/miner.out" || true) not sent;" \
  "verdicts: $(grep -c '\[verdict\] GPU#0 accepted' "$dir/miner.log" || true) accepted," \
  "$(grep -c '\[verdict\] GPU#0 rejected' "$dir/miner.log" || true) rejected"
exit $status
