#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (systemd for
# systemd-analyze, which checks the packaged unit; oclgrind and valgrind, the
# outside judges of the GPU code; ccache, which lets the test command's
# builds share the objects they have in common; clang-tidy, which checks the
# naming rule), and only those that are missing. Does
# nothing (and needs no network) when all are present. The OpenCL step of
# the tests installs Intel's runtime for CPUs itself (scripts/intel-opencl.sh).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libcurl4-openssl-dev libsecp256k1-dev libssl-dev nlohmann-json3-dev
  libgtest-dev libbenchmark-dev libargon2-dev libboost-dev libboost-context-dev
  clang libclang-rt-14-dev clang-15 clang-tidy
  python3
  tmux dpkg-dev systemd groff-base
  pocl-opencl-icd ocl-icd-opencl-dev opencl-headers clinfo
  prometheus python3-prometheus-client
  oclgrind valgrind python3-venv
  ccache
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
