#!/usr/bin/env bash
# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer, and
# the threaded tests (WebSocket reader, worker, processing-unit pool and batch
# pipeline, whole program: the label "threaded") under ThreadSanitizer. Any
# report fails the run. Build folders and options: CMakePresets.json.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
here=$(pwd)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$here/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tests/sanitizers/tsan.supp"

cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan -j"$jobs"
ctest --preset asan-ubsan -j"$jobs"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs"
ctest --preset tsan -j"$jobs"
