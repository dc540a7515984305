#!/usr/bin/env bash
# The CUDA flavour's own source on the simulated CUDA runtime (no GPU, no
# nvcc): builds the cuda-sim preset, runs the GPU digest tests against
# libargon2 (sparse batches past 4 and 32 GiB included), the pipelined hasher
# tests and the runtime's own checks (ctest --preset cuda-sim), the small
# digest shapes under valgrind's memcheck, the benchmark
# with its self-test for a few seconds, and one mining run against the
# development node until a block is accepted. Any check of the simulated
# runtime that fires fails the run. Cost: about 300 CPU-seconds from scratch
# without a compiler cache, the build about 190 of them (5 minutes of wall
# time on two cores shared with other work).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
start=$SECONDS

cmake --preset cuda-sim >/dev/null
cmake --build --preset cuda-sim -j"$jobs"
ctest --preset cuda-sim -j"$jobs"

# Memcheck over the simulated runtime, which marks device memory as
# allocated, each block's shared memory at launch and every range declared
# dead as undefined: the small digest shapes in all four kernel modes. A
# branch, an address or a digest that depends on bytes nothing wrote, or a
# register read before it is set, fails the step.
t=$SECONDS
QUORLEN_CUDA_SIM_SEED=1 valgrind -q --error-exitcode=1 --exit-on-first-error=no \
  build-cuda-sim/gpu_digest_tests --gtest_filter='Modes/EveryDeviceAndMode.SmallShapes/*' \
  >build-cuda-sim/memcheck.log 2>&1 || { tail -40 build-cuda-sim/memcheck.log >&2; echo "cuda-sim: memcheck failed" >&2; exit 1; }
echo "cuda-sim: memcheck found nothing in $((SECONDS - t)) s"

# The benchmark: the self-test in both kernel modes, then a few seconds of
# hashing; it exits 5 when a self-test fails.
build-cuda-sim/quorlen-bench --batches 2 --seconds 2 --warmup 0 2>/dev/null

# Mining: every hash meets the node's target, so the first hit is a block.
work=$(mktemp -d)
node_pid="" miner_pid=""
cleanup() {
  [ -n "$miner_pid" ] && kill -INT "$miner_pid" 2>/dev/null && wait "$miner_pid" 2>/dev/null || true
  [ -n "$node_pid" ] && kill -INT "$node_pid" 2>/dev/null && wait "$node_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
read -r http_port ws_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
build-cuda-sim/quorlen-devnode --http-port "$http_port" --ws-port "$ws_port" --data "$work/chain.dat" \
  --target "$(printf 'f%.0s' {1..64})" --block-seconds 60 >"$work/node.log" 2>&1 &
node_pid=$!
key=1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100
build-cuda-sim/quorlen-gpu-miner --priv "$key" --goida --http "http://127.0.0.1:$http_port" \
  --ws "ws://127.0.0.1:$ws_port" --start-batch 2 --max-batch 2 --step-seconds 1 --warmup-seconds 0 \
  >"$work/miner.out" 2>"$work/miner.err" </dev/null &
miner_pid=$!
for _ in $(seq 1 240); do
  grep -q "\[verdict\] GPU#0 accepted" "$work/miner.err" && break
  kill -0 "$miner_pid" 2>/dev/null || break
  sleep 0.5
done
if ! grep -q "\[verdict\] GPU#0 accepted" "$work/miner.err"; then
  echo "cuda-sim: no block accepted within 2 minutes" >&2
  tail -20 "$work/miner.err" "$work/node.log" >&2
  exit 1
fi
if grep -q "^cuda-sim:" "$work/miner.err"; then
  grep "^cuda-sim:" "$work/miner.err" >&2
  exit 1
fi
echo "cuda-sim: $(grep -m1 "\[verdict\] GPU#0 accepted" "$work/miner.err")"
echo "cuda-sim: done in $((SECONDS - start)) s"
