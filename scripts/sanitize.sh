#!/usr/bin/env bash
# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer, and
# the threaded tests (WebSocket reader, worker, processing-unit pool and batch
# pipeline, whole program) under
# ThreadSanitizer. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
here=$(pwd)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$here/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tests/sanitizers/tsan.supp"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLEN_GPU_BACKEND=host \
  -DQUORLEN_SANITIZE=address,undefined -DQUORLEN_BUILD_TESTS=ON -DQUORLEN_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

threaded='node_tests|worker_tests|app_tests|gpu_tests|argon2_tests'
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLEN_GPU_BACKEND=host \
  -DQUORLEN_SANITIZE=thread -DQUORLEN_BUILD_TESTS=ON -DQUORLEN_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target node_tests worker_tests app_tests gpu_tests argon2_tests quorlen-gpu-miner
ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R 'WsPlain|NodeApi\.|WorkerThread|SubmitHit|Program\.|Hasher\.Pipeline|Argon2\.RoundsOverlap'
