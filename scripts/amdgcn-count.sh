#!/usr/bin/env bash
# Static figures of the OpenCL fill kernel for AMD GPUs, from the compiler's
# own output, as scripts/sass-count.sh gives them for NVIDIA: VGPRs, SGPRs,
# scratch, occupancy (waves per SIMD), instructions per block of the
# data-dependent loop, and for how many of them the next reference's load
# stays in flight (scripts/amdgcn_count.py says how each is taken).
#
#   scripts/amdgcn-count.sh [ARCH ...]            default: gfx1030 gfx1100 (RX 6800, RX 7900 XTX); gfx900: Vega
#   SHUFFLE=0 scripts/amdgcn-count.sh             the local-memory path instead of the cross-lane permute
#   scripts/amdgcn-count.sh --json [ARCH ...]
#
# Debian's clang compiles argon2/opencl/fill.cl for amdgcn as AMD's OpenCL
# driver does (clang with AMD's device libraries, wave32 on RDNA). Debian's
# device libraries (rocm-device-libs, installed here when missing) predate
# RDNA 3 and have no ISA-version file for gfx1100; that file only tells
# library code which chip it runs on, and this kernel calls no such code, so
# gfx1030's stands in. No GPU is needed.
set -euo pipefail
cd "$(dirname "$0")/.."

json=""
archs=()
for a in "$@"; do
  case "$a" in
    --json) json=--json ;;
    *) archs+=("$a") ;;
  esac
done
[ ${#archs[@]} -eq 0 ] && archs=(gfx1030 gfx1100)

clang=""
for c in clang-15 clang-16 clang-17 clang; do
  if command -v "$c" >/dev/null && "$c" -print-targets 2>/dev/null | grep -q amdgcn; then clang=$c; break; fi
done
[ -n "$clang" ] || { echo "amdgcn-count: no clang with the amdgcn target" >&2; exit 1; }
bc=/usr/lib/x86_64-linux-gnu/amdgcn/bitcode
if [ ! -e "$bc/ockl.bc" ]; then
  echo "amdgcn-count: installing AMD's device libraries (rocm-device-libs)" >&2
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends rocm-device-libs >&2
fi
# The libraries as the driver links them for the chip: wave64 before RDNA.
libraries() {
  local arch=$1 wave=off isa f
  case "$arch" in gfx[6-9]*) wave=on ;; esac
  isa=oclc_isa_version_${arch#gfx}
  [ -e "$bc/$isa.bc" ] || isa=oclc_isa_version_1030
  for f in opencl ocml ockl oclc_wavefrontsize64_$wave oclc_abi_version_400 oclc_daz_opt_off oclc_unsafe_math_off \
           oclc_finite_only_off oclc_correctly_rounded_sqrt_on "$isa"; do
    printf '%s\n' -Xclang -mlink-builtin-bitcode -Xclang "$bc/$f.bc"
  done
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -z "$json" ] && echo "amdgcn-count: $("$clang" --version | head -1), ARGON2_SHUFFLE=${SHUFFLE:-1}"
for arch in "${archs[@]}"; do
  mapfile -t link < <(libraries "$arch")
  "$clang" -x cl -cl-std=CL1.2 -target amdgcn-amd-amdhsa -mcpu="$arch" -O3 -Xclang -finclude-default-header \
    -nogpulib "${link[@]}" -DARGON2_SHUFFLE="${SHUFFLE:-1}" -S -o "$work/$arch.s" argon2/opencl/fill.cl
  python3 scripts/amdgcn_count.py "$arch" "$work/$arch.s" $json
done
