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
# libsystemd: the unit is Type=notify, and a miner that cannot notify would
# never count as started.
for lib in libc6 libstdc++6 libcurl libsecp256k1 libssl libargon2 libsystemd0; do
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
# The unit and the man page as the package installs them.
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
# The restart policy against the exit statuses the miner's man page lists:
# every status but 0 and 6 stops the restarts, and 6 (a GPU stopped
# answering) is restarted, as are a watchdog kill and a crash
# (Restart=on-failure). A status added to the program fails here until its
# restart is decided.
page=$unpacked/usr/share/man/man1/quorlen-gpu-miner.1
statuses=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH FILES/s/^\.B //p' "$page")
if [[ "$(tr '\n' ' ' <<<"$statuses")" != *"5 6 "* ]]; then
  echo "FAIL: no exit statuses read from the man page: $statuses"; exit 1
fi
prevented=$(sed -n 's/^RestartPreventExitStatus=//p' "$unit")
expected=$(grep -vx -e 0 -e 6 <<<"$statuses" | paste -sd ' ')
if [[ "$prevented" != "$expected" ]] || ! grep -qx 'Restart=on-failure' "$unit"; then
  echo "FAIL: the unit prevents restarts after '$prevented' (expected '$expected', with Restart=on-failure)"; exit 1
fi
# systemd's watchdog, pinged once a second by the miner: ready when told,
# with room for a busy machine.
watchdog=$(sed -n 's/^WatchdogSec=\([0-9]*\)s\{0,1\}$/\1/p' "$unit")
if ! grep -qx 'Type=notify' "$unit" || ! grep -qx 'NotifyAccess=main' "$unit" || [[ -z "$watchdog" ]] ||
    (( watchdog < 10 )); then
  echo "FAIL: the unit is not Type=notify with NotifyAccess=main and WatchdogSec= of 10 s or more"; exit 1
fi
# The unit as systemd reads it, its programs taken from the package: any
# word from the verifier (an unknown key, a bad value, a missing program)
# fails the check, as systemd would only warn and carry on. Where systemd
# is not installed, the checks above are all.
if command -v systemd-analyze >/dev/null; then
  sed -i "s|/usr/bin/|$unpacked/usr/bin/|g" "$unit"
  if ! verdict=$(systemd-analyze verify --man=no "$unit" 2>&1) || [[ -n "$verdict" ]]; then
    echo "FAIL: systemd-analyze verify: $verdict"; exit 1
  fi
else
  echo "systemd-analyze not found: the unit's syntax is not verified"
fi
echo "package: $deb"
