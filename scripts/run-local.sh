#!/usr/bin/env bash
# The main job on this machine: build, start a development node, and mine on
# it with a freshly generated key until Ctrl-C stops both.
#
#   scripts/run-local.sh            # host flavour here; CUDA where a GPU is present
#
# Tuning is kept short so that mining starts within seconds; pass miner
# options after the script's name to change anything (they come last, so they
# win), for example: scripts/run-local.sh --devices 0
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# build/ as the README's build and the test command configure it (the preset
# "default": the CUDA flavour where a GPU is present, else the host one).
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target quorlen-gpu-miner quorlen-devnode

mkdir -p build/local
# The key goes in a file only we can read, never in a command line.
keyfile=build/local/priv.key
(umask 077 && od -An -N32 -tx1 /dev/urandom | tr -d ' \n' >"$keyfile")

# A target that gives a block every few seconds at this machine's rate; the
# node then tunes it toward its block time.
build/quorlen-devnode --data build/local/chain.dat --block-seconds 10 \
  --target 0020ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff &
node=$!
stop() {
  kill -INT "$miner" 2>/dev/null || true
  wait "$miner" 2>/dev/null || true
  kill -INT "$node" 2>/dev/null || true
  wait "$node" 2>/dev/null || true
}
trap stop INT TERM
sleep 1

build/quorlen-gpu-miner --priv-file "$keyfile" --start-batch 8 --max-batch 32 --step-factor 2 \
  --step-seconds 2 --warmup-seconds 1 "$@" &
miner=$!
wait "$miner" || true
stop
