#!/usr/bin/env bash
# Every test from a fresh clone: install what is missing, configure, build,
# test. The CUDA flavour is built and checked too when nvcc is present.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

bash scripts/cuda-check.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLEN_GPU_BACKEND=host \
  -DQUORLEN_BUILD_TESTS=ON -DQUORLEN_BUILD_BENCH=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
