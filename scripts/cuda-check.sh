#!/usr/bin/env bash
# Compiles the kernels' argument records (argon2/cuda/kernel_args.h) alone in
# nvcc's host and device passes, whose static_asserts pin one layout for
# both; checks the simulated runtime's launch bounds
# (argon2/cuda/kernel_bounds.inc) against the PTX's .maxntid. Builds the
# CUDA flavour (when nvcc is here) with default options, tests and
# benchmarks included, for every architecture; shows the kernels' registers
# and spills as ptxas reports them, refuses any spill in the fill kernel and
# any architecture on which its block of 32 lanes (1024 threads) would not
# fit the register file; checks the simulated runtime's register table
# (argon2/cuda/kernel_registers.inc) against ptxas, so that it cannot go
# stale (CUDA_CHECK_WRITE_REGISTERS=1 rewrites it instead); runs the suite
# (without a GPU the tests that need one skip, the rest must pass); and runs
# the miner once: without a GPU it must say "no CUDA devices" and exit 3.
set -euo pipefail
cd "$(dirname "$0")/.."

nvcc=$(command -v nvcc || true)
[ -z "$nvcc" ] && [ -x /usr/local/cuda/bin/nvcc ] && nvcc=/usr/local/cuda/bin/nvcc
if [ -z "$nvcc" ]; then
  echo "cuda-check: no nvcc here; CUDA flavour not built"
  exit 0
fi

# Every architecture of the default build unless CUDA_CHECK_ARCHS names fewer
# (e.g. "75-real;121-virtual"): each costs about ten seconds of nvcc.
arch_opt=(-UQUORLEN_CUDA_ARCHITECTURES)  # back to the default list
[ -n "${CUDA_CHECK_ARCHS:-}" ] && arch_opt=("-DQUORLEN_CUDA_ARCHITECTURES=$CUDA_CHECK_ARCHS")
# The kernels' argument records: their layout is pinned by static_asserts in
# a header that nvcc compiles here in both passes, host and device, for one
# architecture (a few CPU-seconds; the build below compiles it for all).
echo '#include "kernel_args.h"' |
  "$nvcc" -std=c++17 -x cu -arch=sm_75 -Iargon2/cuda -Iargon2/include -c -o /dev/null - ||
  { echo "cuda-check: the kernel argument records differ between nvcc's host and device passes" >&2; exit 1; }
echo "cuda-check: the kernel argument records have one layout on host and device"

# The launch bounds of the kernels, from the PTX's .maxntid (one virtual
# architecture, a few CPU-seconds), against the simulated runtime's table
# (argon2/cuda/kernel_bounds.inc, rewritten with CUDA_CHECK_WRITE_REGISTERS=1).
bounds_table=argon2/cuda/kernel_bounds.inc
ptx=$(mktemp)
"$nvcc" -std=c++17 -ptx -arch=compute_75 -Iargon2/include -Iargon2/cuda -o "$ptx" argon2/cuda/cuda_processing_unit.cu
bounds=$(awk '
  /^(\.visible )?\.entry/ { kernel = ""; if (match($0, /(fillKernel|firstBlocksKernel|tagKernel)/)) kernel = substr($0, RSTART, RLENGTH); next }
  kernel != "" && /^\.maxntid/ { gsub(/[.a-z,]/, " "); printf "{\"%s\", %d},\n", kernel, $1 * $2 * $3; kernel = "" }' "$ptx" | sort)
rm -f "$ptx"
[ -n "$bounds" ] || { echo "cuda-check: no launch bounds in the PTX (the fill kernel has them)" >&2; exit 1; }
if [ "${CUDA_CHECK_WRITE_REGISTERS:-}" = 1 ]; then
  { sed -n '1,3p' "$bounds_table"; echo "$bounds"; } >"$bounds_table.new" && mv "$bounds_table.new" "$bounds_table"
  echo "cuda-check: $bounds_table rewritten from the PTX"
elif [ "$bounds" != "$(grep '^{' "$bounds_table" | sort)" ]; then
  echo "cuda-check: $bounds_table differs from the kernels' __launch_bounds__; rerun with CUDA_CHECK_WRITE_REGISTERS=1. The PTX says:" >&2
  echo "$bounds" >&2
  exit 1
else
  echo "cuda-check: the simulated runtime's launch bounds match the PTX ($bounds)"
fi

log=build-cuda/build.log
cmake --preset cuda "${arch_opt[@]}" -DCMAKE_CUDA_COMPILER="$nvcc" >/dev/null
mkdir -p build-cuda
# Always rebuild the kernel so that its ptxas report is in this log.
touch argon2/cuda/cuda_processing_unit.cu
cmake --build --preset cuda -j"$(nproc)" >"$log" 2>&1 || { tail -30 "$log" >&2; exit 1; }
# One line per kernel and architecture: registers, stack, spills.
awk '
  /Compiling entry function/ {
    match($0, /(fillKernel|firstBlocksKernel|tagKernel)/); kernel = substr($0, RSTART, RLENGTH)
    match($0, /sm_[0-9]+/); arch = substr($0, RSTART, RLENGTH); next }
  kernel != "" && /spill stores/ { gsub(/^ +/, ""); spill = $0; next }
  kernel != "" && /Used [0-9]+ registers/ {
    match($0, /Used [0-9]+ registers/); printf "ptxas %-18s %-6s %s; %s\n", kernel, arch, substr($0, RSTART, RLENGTH), spill
    kernel = "" }' "$log"

if grep -A2 "fillKernel" "$log" | grep -E "[1-9][0-9]* bytes spill (stores|loads)" >/dev/null; then
  echo "cuda-check: the fill kernel spills registers" >&2
  exit 1
fi

# The register table: one line per kernel and architecture built.
table=argon2/cuda/kernel_registers.inc
fresh=$(awk '
  /Compiling entry function/ {
    match($0, /(fillKernel|firstBlocksKernel|tagKernel)/); kernel = substr($0, RSTART, RLENGTH)
    match($0, /sm_[0-9]+/); arch = substr($0, RSTART + 3, RLENGTH - 3); next }
  kernel != "" && /Used [0-9]+ registers/ {
    match($0, /Used [0-9]+ registers/); printf "{\"%s\", %s, %s},\n", kernel, arch, substr($0, RSTART + 5, RLENGTH - 15)
    kernel = "" }' "$log" | sort -t, -k1,1 -k2,2n)
[ -n "$fresh" ] || { echo "cuda-check: no register counts in the ptxas report" >&2; exit 1; }
# 32 warps of the fill kernel's registers (in units of 256 a warp) within 65536.
too_many=$(awk -F'[{}", ]+' '$2 == "fillKernel" && 32 * int(($4 * 32 + 255) / 256) * 256 > 65536 { print "sm_" $3 ": " $4 }' <<<"$fresh")
if [ -n "$too_many" ]; then
  echo "cuda-check: a block of 32 lanes of the fill kernel would not fit the register file on:" $too_many >&2
  exit 1
fi
if [ "${CUDA_CHECK_WRITE_REGISTERS:-}" = 1 ]; then
  { sed -n '1,2p' "$table"; echo "$fresh"; } >"$table.new" && mv "$table.new" "$table"
  echo "cuda-check: $table rewritten from ptxas"
else
  stale=$(comm -23 <(echo "$fresh" | sort) <(grep '^{' "$table" | sort))
  if [ -z "${CUDA_CHECK_ARCHS:-}" ] && [ "$(grep -c '^{' "$table")" != "$(grep -c '^{' <<<"$fresh")" ]; then
    stale="$stale (and the table lists architectures the build no longer has)"
  fi
  if [ -n "$stale" ]; then
    echo "cuda-check: $table differs from ptxas; rerun with CUDA_CHECK_WRITE_REGISTERS=1. ptxas says:" >&2
    echo "$stale" >&2
    exit 1
  fi
  echo "cuda-check: the simulated runtime's register table matches ptxas ($(grep -c '^{' <<<"$fresh") kernels x architectures)"
fi

# Skipped tests print "no CUDA device here"; ctest lists them as skipped.
ctest --preset cuda -j"$(nproc)" >build-cuda/ctest.log 2>&1 || {
  grep -E "Failed|\*\*\*" build-cuda/ctest.log >&2; tail -5 build-cuda/ctest.log >&2; exit 1; }
echo "cuda-check: $(grep -E "tests passed" build-cuda/ctest.log); $(grep -c "(Skipped)$" build-cuda/ctest.log || true) skipped for want of a GPU"

key=1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100
set +e
# On a machine with a GPU the miner runs until timeout's Ctrl-C, then stops cleanly.
err=$(timeout --preserve-status -s INT 20 build-cuda/quorlen-gpu-miner --priv "$key" --ws "" \
      --step-seconds 1 --warmup-seconds 0 2>&1 >/dev/null </dev/null)
status=$?
set -e
if [ -e /proc/driver/nvidia/version ]; then
  echo "cuda-check: a GPU driver is present; the CUDA miner ran and stopped with status $status"
  [ "$status" = 0 ] || { echo "$err" >&2; exit 1; }
else
  if [ "$status" != 3 ] || ! grep -q "^no CUDA devices$" <<<"$err"; then
    echo "cuda-check: expected \"no CUDA devices\" and exit 3, got:" >&2
    echo "$err" >&2
    exit 1
  fi
  echo "cuda-check: no GPU here: the CUDA miner said \"no CUDA devices\" and exited 3, as it must"
fi
