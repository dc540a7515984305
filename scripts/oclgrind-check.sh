#!/usr/bin/env bash
# Oclgrind (an OpenCL device simulator) over the OpenCL kernel at small
# sizes: --data-races (work-items of a work-group or of different
# work-groups touching one byte, one of them writing, with no barrier
# between; barriers some work-items miss) and --uninitialized (a value no
# one wrote steering a branch or an address, or written to memory). Any
# report fails. The digest tests' small shapes (2 lanes, 2 and 3 passes,
# 16 and 32 KiB, three hashes each; the known-answer check's 32 KiB beside
# them) run on the local-memory path in every kernel mode, and on the
# permute and sub-group paths under one emulated card rule each (the two
# stand-ins exercise the same code as the others of their path). In whole
# passes with computed references, the mode that reaches every barrier, a
# work-group of one lane (8 KiB) and one of four (32 KiB), two passes each,
# run beside them on every path. Oclgrind interprets every instruction:
# about 5 minutes on 2 shared cores for both processes. Part of
# scripts/opencl-check.sh.
#
#   scripts/oclgrind-check.sh            # after scripts/opencl-check.sh's build
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

runs=(
  "local|Modes/EveryDeviceAndMode.SmallShapes/*"
  "rules|ExchangeRules/EveryDeviceAndMode.SmallShapes/rdna_wave64:ExchangeRules/EveryDeviceAndMode.SmallShapes/subgroup_64"
)
# Oclgrind as an OpenCL driver of its own (its ICD library, options from the
# environment), so that the preloaded library below sits in front of it.
shim=$PWD/build-opencl/lib/liboclgrind_rect_writes.so
[ -f "$shim" ] || { echo "oclgrind-check: $shim is missing (build the preset opencl)" >&2; exit 1; }
icd=$(dpkg -L oclgrind 2>/dev/null | grep -m1 'liboclgrind-rt-icd\.so$' || true)
[ -n "$icd" ] || { echo "oclgrind-check: oclgrind is missing (scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$work/vendors"
echo "$icd" >"$work/vendors/oclgrind.icd"
pids=()
for r in "${runs[@]}"; do
  name=${r%%|*} filter=${r#*|}
  mkdir -p "$work/$name"
  # The preloaded library makes the host's partial writes kernel stores and
  # keeps released buffers, for blind spots of Oclgrind's
  # (tests/support/oclgrind_rect_writes.cpp). A cache of its own: a program
  # Oclgrind built is never offered to PoCL.
  # Reports go to stderr: OCLGRIND_LOG is opened anew by every context, and
  # the tests make several, so a log file keeps only the last one's.
  OCL_ICD_VENDORS="$work/vendors" OCLGRIND_DATA_RACES=1 OCLGRIND_UNINITIALIZED=1 OCLGRIND_NUM_THREADS=1 \
    OCLGRIND_MAX_ERRORS=100 LD_PRELOAD="$shim" \
    XDG_CACHE_HOME="$work/$name" build-opencl/gpu_digest_tests --gtest_filter="$filter" \
    >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
done
failed=0
i=0
for r in "${runs[@]}"; do
  name=${r%%|*}
  if ! wait "${pids[$i]}"; then
    echo "oclgrind-check: $name: the tests failed under Oclgrind" >&2; tail -20 "$work/$name.out" >&2; failed=1
  fi
  # A report is a line of its own followed by the kernel's name.
  reports=$(grep -B1 -P '^\tKernel: ' "$work/$name.err" | grep -vP '^\tKernel: |^--$' || true)
  if [ -n "$reports" ]; then
    echo "oclgrind-check: $name: Oclgrind reports:" >&2
    sort <<<"$reports" | uniq -c | sort -rn | head -10 >&2
    grep -m3 -A6 -P '^\tKernel: ' "$work/$name.err" >&2; failed=1
  fi
  grep -q "PASSED" "$work/$name.out" || { echo "oclgrind-check: $name ran no test" >&2; failed=1; }
  i=$((i + 1))
done
exit "$failed"
