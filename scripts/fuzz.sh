#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time on a copy of
# its seed corpus. A crash fails the run and leaves its input in build-fuzz/.
#
#   scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLEN_GPU_BACKEND=host \
  -DQUORLEN_SANITIZE="address,undefined,fuzzer-no-link" -DQUORLEN_BUILD_FUZZ=ON -DQUORLEN_BUILD_TESTS=OFF \
  -DQUORLEN_BUILD_BENCH=OFF -DQUORLEN_BUILD_DEVNODE=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_hex fuzz_canonical fuzz_node_reply fuzz_ws_reader fuzz_verdict

rm -rf build-fuzz/artifacts
mkdir -p build-fuzz/artifacts
for target in hex canonical node_reply ws_reader verdict; do
  work=build-fuzz/corpus-work/$target
  mkdir -p "$work"
  cp -n fuzz/corpus/$target/* "$work/" 2>/dev/null || true
  echo "fuzzing $target for ${seconds}s"
  (cd build-fuzz && ./fuzz_$target -max_total_time="$seconds" -rss_limit_mb=1024 -malloc_limit_mb=64 \
     -max_len=65536 -print_final_stats=1 -artifact_prefix=artifacts/ "corpus-work/$target" 2>&1 |
     grep -E "^stat::number_of_executed_units|^==|SUMMARY|ERROR" || true)
  # libFuzzer's status is lost in the pipe above: a failure leaves its input.
  if [ -n "$(ls -A build-fuzz/artifacts)" ]; then
    echo "fuzz: $target found a failure; its input is in build-fuzz/artifacts:" >&2
    ls build-fuzz/artifacts >&2
    exit 1
  fi
done
