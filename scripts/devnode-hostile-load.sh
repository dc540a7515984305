#!/usr/bin/env bash
# The development node under a mixed hostile load (see
# devnode-hostile-load.py) with a low descriptor limit, so that the bursts
# really run it out of descriptors. Reports its resident memory over time and
# whether it still serves; fails if it crashed or stopped serving.
#
#   scripts/devnode-hostile-load.sh [seconds, default 60] [build dir, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-60}
build=${2:-build}
cmake --build "$build" -j2 --target quorlen-devnode >/dev/null

dir=$(mktemp -d)
http=18181; ws=16181
prlimit --nofile=128 -- "$build/quorlen-devnode" --http-port $http --ws-port $ws --data "$dir/chain.dat" \
  --ping-seconds 1 2>"$dir/node.log" &
node=$!
trap 'kill -INT $node 2>/dev/null || true; rm -rf "$dir"' EXIT
for _ in $(seq 50); do grep -q '\[node\] height' "$dir/node.log" && break; sleep 0.1; done

status=0
python3 scripts/devnode-hostile-load.py $node $http $ws "$duration" || status=$?
if ! kill -0 $node 2>/dev/null; then echo "the node died: $(tail -3 "$dir/node.log")"; exit 1; fi
kill -INT $node
if ! wait $node; then echo "the node did not stop cleanly"; status=1; fi
echo "node log: $(wc -l <"$dir/node.log") lines; accept failures: $(grep -c 'accept failed' "$dir/node.log" || true)," \
  "dropped non-readers: $(grep -c 'leaves its messages unread' "$dir/node.log" || true)," \
  "oversized refusals: $(grep -c 'refused a request\|went over' "$dir/node.log" || true)"
exit $status
