#!/usr/bin/env bash
# Intel's OpenCL runtime for CPUs, the tests' second OpenCL device beside
# PoCL: another vendor's compiler, and real sub-groups (sizes 4 to 64).
# Kept in a folder of the build's own, with an ICD file of its own, so that
# nothing outside build-opencl changes.
#
#   scripts/intel-opencl.sh install     # the Python package index, when missing
#   scripts/intel-opencl.sh run CMD...  # CMD with Intel's runtime the only OpenCL driver
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)/build-opencl/intel-ocl"
versions=(intel-opencl-rt==2026.2.0 intel-cmplr-lib-rt==2026.2.0)

case "${1:-}" in
  install)
    [ -f "$root/lib/libintelocl.so" ] && [ -f "$root/vendors/intel-cpu.icd" ] && exit 0
    echo "installing Intel's OpenCL runtime for CPUs into $root"
    rm -rf "$root"
    mkdir -p "$(dirname "$root")"
    python3 -m venv "$root"
    "$root/bin/pip" install -q --disable-pip-version-check "${versions[@]}"
    mkdir -p "$root/vendors"
    echo "$root/lib/libintelocl.so" >"$root/vendors/intel-cpu.icd"
    ;;
  run)
    shift
    [ -f "$root/vendors/intel-cpu.icd" ] || { echo "intel-opencl: not installed ($0 install)" >&2; exit 1; }
    OCL_ICD_VENDORS="$root/vendors" LD_LIBRARY_PATH="$root/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" exec "$@"
    ;;
  *)
    echo "usage: $0 install | run COMMAND..." >&2
    exit 2
    ;;
esac
