#!/usr/bin/env bash
# Builds the OpenCL flavour (preset "opencl") and runs it on whatever OpenCL
# device is here: on a machine without a GPU, PoCL's CPU device, which the
# test command installs. In order: the build, fill.cl compiled by Debian's
# clang with the library's own options for each path, for spir64 and AMD's
# chips (compile only, no driver), the device tests (digests against
# libargon2 in both kernel modes, the hasher, the self-test), the sub-group
# path's digests on Intel's OpenCL runtime for CPUs (real sub-groups),
# Oclgrind's race and uninitialised-value checks at small shapes, a short
# quorlen-bench, one mining run against a development node until it accepts
# a block, and the miner on a machine with no OpenCL driver at all, which
# must say "no OpenCL devices" and exit 3.
#
# The drivers' compiled kernels (ours and PoCL's own) are cached under
# build-opencl/cache, so a second run skips the compiler; the first run's
# cost is mostly PoCL compiling the kernel for each work-group shape.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
export XDG_CACHE_HOME=$PWD/build-opencl/cache
# PoCL compiles a kernel anew for every work-group shape (local size), each
# time for about a minute here; the tests use six shapes. Unspecialised, one
# build serves them all.
export POCL_WORK_GROUP_SPECIALIZATION=0
mkdir -p "$XDG_CACHE_HOME"
start=$SECONDS

# Compile only, before any driver sees it: fill.cl built by Debian's clang
# with the very options the library passes a driver for each path it may
# take (build-opencl/fill_build_options: the library's own function over a
# described device; the kernel modes are kernel arguments, so one build a
# path serves them all), for a generic SPIR-V-style target (spir64, whose
# compilers need not inline what C99 calls a plain `inline` function) and
# for AMD's chips: GCN wave64 (gfx900), RDNA 2 in wave32 and wave64
# (gfx1030), RDNA 3 (gfx1100). Each build must leave no function of fill.cl
# without a body, and the amdgcn ones must get through the backend. The
# OpenCL built-ins stay declarations: the driver supplies them.
compile_check() {
  local clang=clang-15 work functions failed=0 n=0
  command -v "$clang" >/dev/null || { echo "opencl-check: $clang is missing (scripts/install-deps.sh)" >&2; return 1; }
  work=$(mktemp -d)
  functions=$(grep -oE '^((static|inline|__kernel) )*[a-z0-9_]+\*? [a-zA-Z_][a-zA-Z0-9_]*\(' argon2/opencl/fill.cl |
              grep -oE '[a-zA-Z_][a-zA-Z0-9_]*\($' | tr -d '(' | sort -u)
  [ -n "$functions" ] || { echo "opencl-check: found no functions in fill.cl" >&2; return 1; }
  # target | cpu | clang's options that stand for the device's own compiler |
  # the paths the library must offer it | the device as the library sees it.
  # Intel's compilers declare cl_intel_subgroups' built-ins, which clang's
  # built-in tables lack: its full header stands in for them.
  local intel="-include opencl-c.h -Dcl_intel_subgroups=1"
  local devices=(
    "spir64|||opencl-local|--opencl-c 1.2"
    "spir64|||opencl-local opencl-subgroup|--opencl-c 2.0 --extensions cl_khr_subgroups,cl_khr_subgroup_shuffle"
    "spir64||$intel|opencl-local opencl-subgroup|--opencl-c 3.0 --sub-groups-of-32 --extensions cl_khr_subgroups,cl_khr_subgroup_shuffle,cl_intel_subgroups,cl_intel_required_subgroup_size"
    "spir64||$intel|opencl-local opencl-subgroup|--opencl-c 1.2 --sub-groups-of-32 --extensions cl_intel_subgroups,cl_intel_required_subgroup_size"
    "amdgcn-amd-amdhsa|gfx900||opencl-local opencl-amd-permute|--amd-gfx 9 --opencl-c 2.0 --extensions cl_khr_subgroups"
    "amdgcn-amd-amdhsa|gfx1030||opencl-local opencl-amd-permute|--amd-gfx 10 --opencl-c 2.0 --extensions cl_khr_subgroups"
    "amdgcn-amd-amdhsa|gfx1030|-mwavefrontsize64|opencl-local opencl-amd-permute|--amd-gfx 10 --opencl-c 2.0 --extensions cl_khr_subgroups"
    "amdgcn-amd-amdhsa|gfx1100||opencl-local opencl-amd-permute|--amd-gfx 11 --opencl-c 2.0 --extensions cl_khr_subgroups"
  )
  local d target cpu extra want facts paths path options name opts done_builds=" "
  for d in "${devices[@]}"; do
    IFS='|' read -r target cpu extra want facts <<<"$d"
    # shellcheck disable=SC2086
    paths=$(build-opencl/fill_build_options $facts) || { echo "opencl-check: fill_build_options $facts failed" >&2; failed=1; continue; }
    if [ "$(cut -f1 <<<"$paths" | tr '\n' ' ')" != "$want " ]; then
      echo "opencl-check: for $facts the library offers $(cut -f1 <<<"$paths" | tr '\n' ' ')rather than $want" >&2
      failed=1
    fi
    while IFS=$'\t' read -r path options; do
      [ -n "$path" ] || continue
      name="$target${cpu:+ $cpu}${extra:+ $extra} $path ($options)"
      # The same build for another device: done once.
      case "$done_builds" in *" $target|$cpu|$extra|$options "*) continue ;; esac
      done_builds+="$target|$cpu|$extra|$options "
      # shellcheck disable=SC2206
      opts=(-x cl -target "$target" -O2 $options)
      if [ -n "$cpu" ]; then opts+=(-mcpu="$cpu" -nogpulib); fi
      # shellcheck disable=SC2206
      if [ -n "$extra" ]; then opts+=($extra); fi
      case "$extra" in *"-include "*) ;; *) opts+=(-Xclang -finclude-default-header) ;; esac
      if ! "$clang" "${opts[@]}" -emit-llvm -S -o "$work/fill.ll" argon2/opencl/fill.cl 2>"$work/err"; then
        echo "opencl-check: $name does not compile:" >&2; grep -m5 error "$work/err" >&2; failed=1; continue
      fi
      local bodiless
      bodiless=$(sed -nE 's/^declare .*@([a-zA-Z_][a-zA-Z0-9_]*)\(.*/\1/p' "$work/fill.ll" | grep -Fxf <(echo "$functions") || true)
      if [ -n "$bodiless" ] || ! grep -q '^define .*@fill(' "$work/fill.ll"; then
        echo "opencl-check: $name leaves without a body: ${bodiless:-the kernel fill}" | tr '\n' ' ' >&2; echo >&2
        failed=1
      fi
      if [ "$target" != spir64 ] && ! "$clang" "${opts[@]}" -c -o "$work/fill.o" argon2/opencl/fill.cl 2>"$work/err"; then
        echo "opencl-check: $name fails in the backend:" >&2; head -20 "$work/err" >&2; failed=1
      fi
      n=$((n + 1))
    done <<<"$paths"
  done
  rm -rf "$work"
  [ "$failed" = 0 ] || return 1
  echo "opencl-check: fill.cl compiled with $("$clang" --version | head -1) in $n builds with the library's options, every function with a body"
}

cmake --preset opencl >/dev/null
cmake --build --preset opencl -j"$jobs" >build-opencl/build.log 2>&1 || { tail -30 build-opencl/build.log >&2; exit 1; }
echo "opencl-check: built in $((SECONDS - start)) s; devices:"
clinfo -l 2>/dev/null | sed 's/^/  /' || true

t=$SECONDS
compile_check
echo "opencl-check: compile check in $((SECONDS - t)) s"

t=$SECONDS
ctest --preset opencl -j"$jobs" >build-opencl/ctest.log 2>&1 || {
  grep -E "Failed|\*\*\*" build-opencl/ctest.log >&2; tail -5 build-opencl/ctest.log >&2; exit 1; }
echo "opencl-check: $(grep -E "tests passed" build-opencl/ctest.log) in $((SECONDS - t)) s"

# The second real device: Intel's OpenCL runtime for CPUs (installed by
# scripts/intel-opencl.sh into build-opencl/intel-ocl when missing), another vendor's
# compiler with real sub-groups. The digests in every kernel mode run there
# on the sub-group path, asking for sub-groups of 32, with the driver's real
# shuffles. The rest of the suite runs on PoCL above: on Intel's runtime it
# passes too, but its cache tests rebuild the kernel a dozen times at about
# 15 s a build.
t=$SECONDS
bash scripts/intel-opencl.sh install
QUORLEN_OPENCL_CPU_SUBGROUPS=1 scripts/intel-opencl.sh run \
  ctest --test-dir build-opencl --output-on-failure -j"$jobs" -R '^Modes/EveryDeviceAndMode\.(MinerParameters|SmallShapes)' \
  >build-opencl/ctest-intel.log 2>&1 || {
  grep -E "Failed|\*\*\*" build-opencl/ctest-intel.log >&2; tail -5 build-opencl/ctest-intel.log >&2; exit 1; }
echo "opencl-check: Intel's runtime: $(grep -E "tests passed" build-opencl/ctest-intel.log) in $((SECONDS - t)) s"

# Oclgrind's race and uninitialised-value checks over the fill at small
# shapes (scripts/oclgrind-check.sh): any report fails. About 5 minutes on
# 2 shared cores.
t=$SECONDS
scripts/oclgrind-check.sh || exit 1
echo "opencl-check: Oclgrind reported nothing in $((SECONDS - t)) s"

t=$SECONDS
build-opencl/quorlen-bench --batches 2 --seconds 2 --warmup 0 --by-segment 0 >build-opencl/bench.txt 2>/dev/null || {
  echo "opencl-check: quorlen-bench failed" >&2; cat build-opencl/bench.txt >&2; exit 1; }
sed 's/^/  /' build-opencl/bench.txt
echo "opencl-check: quorlen-bench ran in $((SECONDS - t)) s"

# One block mined through the OpenCL flavour and accepted by the node. The
# easiest target makes every hash a hit, so the first batch finds one.
t=$SECONDS
work=$(mktemp -d)
node_pid="" miner_pid=""
cleanup() {
  [ -n "$miner_pid" ] && kill -INT "$miner_pid" 2>/dev/null && wait "$miner_pid" 2>/dev/null
  [ -n "$node_pid" ] && kill -INT "$node_pid" 2>/dev/null && wait "$node_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
build-opencl/quorlen-devnode --http-port 0 --ws-port 0 --target "$(printf 'f%.0s' {1..64})" 2>"$work/node.log" &
node_pid=$!
for _ in $(seq 100); do grep -q "ws://" "$work/node.log" && break; sleep 0.1; done
ports=$(grep -o "http://[^ ]* ws://[^ ]*" "$work/node.log" | head -1)
[ -n "$ports" ] || { echo "opencl-check: the development node did not start" >&2; cat "$work/node.log" >&2; exit 1; }
key=1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100
build-opencl/quorlen-gpu-miner --priv "$key" --http "${ports% *}" --ws "${ports#* }" --goida \
  --start-batch 2 --max-batch 2 --step-seconds 1 --warmup-seconds 0 >"$work/miner.out" 2>"$work/miner.err" &
miner_pid=$!
accepted=""
for _ in $(seq 600); do
  if grep -q "\[verdict\] GPU#0 accepted" "$work/miner.err"; then accepted=1; break; fi
  kill -0 "$miner_pid" 2>/dev/null || break
  sleep 0.5
done
if [ -z "$accepted" ]; then
  echo "opencl-check: no block accepted" >&2; tail -20 "$work/miner.err" "$work/node.log" >&2; exit 1
fi
grep -m1 "\[verdict\] GPU#0 accepted" "$work/miner.err" | sed 's/^/  /'
kill -INT "$miner_pid"; wait "$miner_pid" || { echo "opencl-check: the miner did not stop cleanly" >&2; exit 1; }
miner_pid=""
echo "opencl-check: the node accepted a block mined through OpenCL in $((SECONDS - t)) s"

# No OpenCL driver at all: the ICD loader finds no platform.
set +e
err=$(OCL_ICD_VENDORS=$work/none build-opencl/quorlen-gpu-miner --priv "$key" --ws "" 2>&1 >/dev/null </dev/null)
status=$?
set -e
if [ "$status" != 3 ] || ! grep -q "^no OpenCL devices$" <<<"$err"; then
  echo "opencl-check: expected \"no OpenCL devices\" and exit 3, got status $status:" >&2
  echo "$err" >&2
  exit 1
fi
echo "opencl-check: without a driver the miner said \"no OpenCL devices\" and exited 3"
echo "opencl-check: done in $((SECONDS - start)) s"
