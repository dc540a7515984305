#!/usr/bin/env bash
# Static counts of the compiled fill kernel, per architecture: total size,
# CALLs, each loop body by instruction class, and instructions per block on
# the common path (scripts/sass_count.py says how each figure is taken).
#
#   scripts/sass-count.sh [ARCH ...]          default: 86 89
#   scripts/sass-count.sh --lib build-cuda/lib/libargon2-cuda.so [ARCH ...]
#   scripts/sass-count.sh --json [ARCH ...]   one JSON object per architecture
#
# Without --lib the kernel's translation unit is compiled here, to one cubin
# per architecture, with the library's own flags (argon2/cuda/cuda.cmake); no
# GPU is needed. cuobjdump and nvdisasm come from the Python package index
# when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

lib="" json=""
# The data-dependent arm of a loop that serves every kind of segment is the
# one through the lane remainder (I2F: its float reciprocal).
via=I2F
archs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --lib) lib=$2; shift 2 ;;
    --json) json=--json; shift ;;
    *) archs+=("${1#sm_}"); shift ;;
  esac
done
[ ${#archs[@]} -eq 0 ] && archs=(86 89)

find_tool() {
  local t
  t=$(command -v "$1" 2>/dev/null || true)
  [ -z "$t" ] && [ -x "/usr/local/cuda/bin/$1" ] && t=/usr/local/cuda/bin/$1
  if [ -z "$t" ]; then
    t=$(python3 - "$1" <<'EOF' 2>/dev/null || true
import glob, os, sys, sysconfig
for base in {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}:
    for hit in sorted(glob.glob(os.path.join(base, "nvidia", "*", "bin", sys.argv[1]))):
        print(hit)
        raise SystemExit
EOF
)
  fi
  echo "$t"
}

cuobjdump=$(find_tool cuobjdump)
if [ -z "$cuobjdump" ]; then
  echo "sass-count: installing cuobjdump from the Python package index" >&2
  python3 -m pip install --quiet nvidia-cuda-cuobjdump >&2
  cuobjdump=$(find_tool cuobjdump)
fi
[ -n "$cuobjdump" ] || { echo "sass-count: no cuobjdump" >&2; exit 1; }
# cuobjdump disassembles through nvdisasm, a package of its own.
nvdisasm=$(find_tool nvdisasm)
if [ -z "$nvdisasm" ]; then
  echo "sass-count: installing nvdisasm from the Python package index" >&2
  python3 -m pip install --quiet nvidia-cuda-nvdisasm >&2
  nvdisasm=$(find_tool nvdisasm)
fi
[ -n "$nvdisasm" ] || { echo "sass-count: no nvdisasm" >&2; exit 1; }
export NVDISASM_PATH
NVDISASM_PATH=$(dirname "$nvdisasm")
export PATH="$NVDISASM_PATH:$PATH"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for arch in "${archs[@]}"; do
  listing=$work/sm_$arch.sass
  if [ -n "$lib" ]; then
    "$cuobjdump" -sass -arch "sm_$arch" "$lib" >"$listing"
  else
    nvcc=$(find_tool nvcc)
    [ -n "$nvcc" ] || { echo "sass-count: no nvcc here" >&2; exit 1; }
    "$nvcc" -cubin -arch="sm_$arch" -O3 -std=c++17 --expt-relaxed-constexpr -Xptxas=-v \
      -DARGON2GPU_FLAVOUR_CUDA -Iargon2/include -o "$work/sm_$arch.cubin" argon2/cuda/cuda_processing_unit.cu \
      2>"$work/ptxas.log"
    "$cuobjdump" -sass "$work/sm_$arch.cubin" >"$listing"
    if [ -z "$json" ]; then
      # ptxas's own word on the fill kernel: registers, stack, spills.
      awk '/Compiling entry function .*fillKernel/ { on = 1; next }
           on && /spill/ { gsub(/^ +/, ""); s = $0 }
           on && /Used [0-9]+ registers/ { sub(/^.*Used/, "Used"); print "sm_'"$arch"' ptxas: " $0 "; " s; exit }' \
        "$work/ptxas.log"
    fi
  fi
  python3 scripts/sass_count.py "sm_$arch" "$listing" fillKernel --via "$via" $json
done
