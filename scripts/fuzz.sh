#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time on a copy of
# its seed corpus. A crash fails the run and leaves its input in build-fuzz/.
#
#   scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

# The targets are those fuzz/CMakeLists.txt lists; the preset builds them all.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
mapfile -t targets < build-fuzz/fuzz-targets.txt

rm -rf build-fuzz/artifacts
mkdir -p build-fuzz/artifacts
# One target a core at a time: each fuzzer runs on one thread.
fuzz_one() {
  local target=$1 work=build-fuzz/corpus-work/$1
  mkdir -p "$work"
  cp -n fuzz/corpus/$target/* "$work/" 2>/dev/null || true
  (cd build-fuzz && ./fuzz_$target -max_total_time="$seconds" -rss_limit_mb=1024 -malloc_limit_mb=64 \
     -max_len=65536 -print_final_stats=1 -artifact_prefix=artifacts/ "corpus-work/$target" 2>&1 |
     grep -E "^stat::number_of_executed_units|^==|SUMMARY|ERROR" || true) >"build-fuzz/$target.log"
}
jobs=$(nproc)
running=0
for target in "${targets[@]}"; do
  echo "fuzzing $target for ${seconds}s"
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
for target in "${targets[@]}"; do sed "s/^/$target: /" "build-fuzz/$target.log"; done
# libFuzzer's status is lost in the pipe above: a failure leaves its input.
if [ -n "$(ls -A build-fuzz/artifacts)" ]; then
  echo "fuzz: a target found a failure; its input is in build-fuzz/artifacts:" >&2
  ls build-fuzz/artifacts >&2
  exit 1
fi
