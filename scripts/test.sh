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
# The sanitizer and fuzz builds share no object with any other build (their
# flags differ) nor with a fresh clone's empty cache, so there the cache only
# costs (a second preprocessing and the compression of every object): they
# run without it, unless the caller brought a cache of their own.
uncached_step=()
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && [ -z "${CCACHE_DISABLE:-}" ] && command -v ccache >/dev/null; then
  export CCACHE_DIR="${CCACHE_DIR:-$(pwd)/build-ccache}"
  export CCACHE_BASEDIR="$(pwd)" CCACHE_NOHASHDIR=1
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  uncached_step=(env CCACHE_DISABLE=1)
fi

# Each step's wall time and CPU time (user + system of every process it ran,
# from this shell's reaped-children counters), one line a step, again at the
# end: on a shared machine the CPU time is the figure to compare.
ticks=$(getconf CLK_TCK)
report=()
children_cpu() {  # fields 16 and 17 of /proc/PID/stat: cutime, cstime
  local stat f
  stat=$(<"/proc/$$/stat")
  read -ra f <<<"${stat##*) }"
  echo $((f[13] + f[14]))
}
step() {
  local name=$1 wall=$SECONDS cpu
  cpu=$(children_cpu)
  shift
  "$@"
  local line
  local tenths=$((($(children_cpu) - cpu) * 10 / ticks))
  line=$(printf '%-14s %6d s wall %6d.%d CPU-s' "$name" $((SECONDS - wall)) $((tenths / 10)) $((tenths % 10)))
  echo "test.sh: $line"
  report+=("$line")
}
default_suite() {
  # Build folders and options: CMakePresets.json.
  cmake --preset default
  cmake --build --preset default -j"$jobs"
  ctest --preset default -j"$jobs"
}

if [ -z "${QUICK:-}" ]; then
  step cuda-check bash scripts/cuda-check.sh
  step cuda-sim bash scripts/cuda-sim-check.sh
  step opencl bash scripts/opencl-check.sh
  step "sanitize asan" "${uncached_step[@]}" bash scripts/sanitize.sh asan-ubsan
  step "sanitize tsan" "${uncached_step[@]}" bash scripts/sanitize.sh tsan
  step fuzz "${uncached_step[@]}" bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
fi
# The naming rule (clang-tidy over the default build's sources), then the suite.
step naming bash scripts/check-naming.sh
step default default_suite
printf 'test.sh: %s\n' "${report[@]}"
