#!/usr/bin/env bash
# A node whose every HTTP reply is endless (chunked, never finished) for a
# minute: the miner must keep its memory bounded by its reply caps and stop
# on Ctrl-C within 2 seconds. Prints the miner's peak resident memory
# (VmHWM) and fails above 200 MB.
#
#   scripts/drill-endless-reply.sh [seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-60}
limit_kb=$((200 * 1024))
nice -n 5 cmake --build build -j2 --target quorlen-gpu-miner >/dev/null

dir=$(mktemp -d)
port_file="$dir/port"
/usr/bin/python3 - "$port_file" >"$dir/node.log" 2>&1 <<'PY' &
import socket, sys, threading
chunk = b"100000\r\n" + b"7" * 0x100000 + b"\r\n"
def serve(conn):
    try:
        conn.recv(65536)
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        while True:
            conn.sendall(chunk)
    except OSError:
        pass
    finally:
        conn.close()
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
node=$!
for _ in $(seq 50); do [ -s "$port_file" ] && break; sleep 0.1; done
port=$(cat "$port_file")

build/quorlen-gpu-miner --priv "$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')" --goida \
  --http "http://127.0.0.1:$port" --ws "" --start-batch 2 --max-batch 2 --step-seconds 1 --warmup-seconds 0 \
  >"$dir/miner.out" 2>"$dir/miner.err" &
miner=$!
end=$((SECONDS + duration))
while [ $SECONDS -lt $end ]; do
  sleep 5
  echo "t=${SECONDS}s rss=$(awk '/VmRSS/ {print $2}' /proc/$miner/status)kB"
done
peak=$(awk '/VmHWM/ {print $2}' /proc/$miner/status)
start=$(date +%s%N)
kill -INT $miner
status=0
wait $miner || status=$?
stop_ms=$(( ($(date +%s%N) - start) / 1000000 ))
kill $node; wait $node 2>/dev/null || true
failures=$(grep -c '^\[node\]' "$dir/miner.err" || true)
echo "peak RSS ${peak} kB over ${duration}s; Ctrl-C took ${stop_ms} ms (exit status $status);" \
  "[node] lines: $failures; first: $(grep -m1 '^\[node\]' "$dir/miner.err" || true)"
rm -rf "$dir"
[ "$status" -eq 0 ] && [ "$peak" -lt "$limit_kb" ] && [ "$stop_ms" -lt 2000 ]
