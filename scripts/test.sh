#!/usr/bin/env bash
# Every test from a fresh clone: install what is missing, configure, build,
# test. In order: the CUDA flavour (built and checked when nvcc is present),
# the suite under AddressSanitizer + UndefinedBehaviorSanitizer and the
# threaded tests under ThreadSanitizer, a bounded run of every fuzz target,
# and last the suite on the ordinary build.
#
#   scripts/test.sh               # everything (what CI runs)
#   QUICK=1 scripts/test.sh       # the ordinary build's suite only
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

if [ -z "${QUICK:-}" ]; then
  bash scripts/cuda-check.sh
  bash scripts/sanitize.sh
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLEN_GPU_BACKEND=host \
  -DQUORLEN_BUILD_TESTS=ON -DQUORLEN_BUILD_BENCH=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
