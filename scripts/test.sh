#!/usr/bin/env bash
# Every test from a fresh clone: install what is missing, configure, build,
# test. In order: the CUDA flavour (built and checked when nvcc is present),
# the CUDA flavour's source on the simulated CUDA runtime (digests, checks,
# the benchmark and a mined block; about 280 CPU-seconds, build included),
# the OpenCL flavour on whatever OpenCL device is here (PoCL's CPU device
# where there is no GPU), the suite under AddressSanitizer +
# UndefinedBehaviorSanitizer and the threaded tests under ThreadSanitizer, a
# bounded run of every fuzz target, and last the suite on the ordinary build.
#
#   scripts/test.sh               # everything (what CI runs)
#   QUICK=1 scripts/test.sh       # the ordinary build's suite only
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

# The four builds without sanitizers (cuda, cuda-sim, opencl, default)
# compile most of the miner and its tests alike: a compiler cache lets each
# take the objects an earlier one made. Paths are kept relative to the tree,
# so that the build folders, all one level down, share entries; a cache of
# one's own (CCACHE_DIR) is used when set.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && [ -z "${CCACHE_DISABLE:-}" ] && command -v ccache >/dev/null; then
  export CCACHE_DIR="${CCACHE_DIR:-$(pwd)/build-ccache}"
  export CCACHE_BASEDIR="$(pwd)" CCACHE_NOHASHDIR=1
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

if [ -z "${QUICK:-}" ]; then
  bash scripts/cuda-check.sh
  bash scripts/cuda-sim-check.sh
  bash scripts/opencl-check.sh
  bash scripts/sanitize.sh
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
fi

# Build folders and options: CMakePresets.json.
cmake --preset default
bash scripts/check-naming.sh
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"
