#!/usr/bin/env bash
# Builds the Debian package of a build tree and shows what it declares.
# Fails when the package does not name the libraries the programs need.
#
#   scripts/package.sh [BUILD_DIR]     # default: build
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/package/quorlen-gpu-miner_*.deb | head -n1)
info=$(dpkg-deb --info "$deb")
echo "$info"
depends=$(grep '^ Depends:' <<<"$info" || true)
for lib in libc6 libstdc++6 libcurl libsecp256k1 libssl libargon2; do
  if [[ "$depends" != *"$lib"* ]]; then
    echo "FAIL: $deb does not depend on $lib"; exit 1
  fi
done
contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/quorlen-gpu-miner ./usr/bin/quorlen-bench ./usr/lib/systemd/system/quorlen-gpu-miner.service \
    ./usr/share/man/man1/quorlen-gpu-miner.1 libargon2-cuda.so; do
  if [[ "$contents" != *"$path"* ]]; then
    echo "FAIL: $deb lacks $path"; exit 1
  fi
done
# The unit as systemd reads it, its programs taken from the package: any
# word from the verifier (an unknown key, a bad value, a missing program)
# fails the check, as systemd would only warn and carry on.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
unit=$unpacked/usr/lib/systemd/system/quorlen-gpu-miner.service
# Built kernels outlive a restart only in a folder the service may write:
# its own cache folder, which the miner is pointed at.
cachedir=$(sed -n 's/^CacheDirectory=//p' "$unit")
if [[ -z "$cachedir" ]] || ! grep -qx "Environment=XDG_CACHE_HOME=%C/$cachedir" "$unit"; then
  echo "FAIL: the unit keeps no cache folder for the miner"; exit 1
fi
sed -i "s|/usr/bin/|$unpacked/usr/bin/|g" "$unit"
if ! verdict=$(systemd-analyze verify --man=no "$unit" 2>&1) || [[ -n "$verdict" ]]; then
  echo "FAIL: systemd-analyze verify: $verdict"; exit 1
fi
echo "package: $deb"
