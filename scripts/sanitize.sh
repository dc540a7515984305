#!/usr/bin/env bash
# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer, and
# the threaded tests (WebSocket reader, worker, processing-unit pool and batch
# pipeline, whole program: the label "threaded") under ThreadSanitizer. Any
# report fails the run. Build folders and options: CMakePresets.json.
#
#   scripts/sanitize.sh                 # both
#   scripts/sanitize.sh asan-ubsan      # or tsan: one of them
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
here=$(pwd)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$here/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tests/sanitizers/tsan.supp"

presets=("${@:-asan-ubsan}")
[ $# -eq 0 ] && presets+=(tsan)
for preset in "${presets[@]}"; do
  case $preset in
    asan-ubsan | tsan) ;;
    *) echo "sanitize.sh: no such sanitizer build: $preset (asan-ubsan or tsan)" >&2; exit 2 ;;
  esac
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
done
