#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the installed tree, and
# runs the programs from there: the run-time path must find our libraries
# wherever the tree lands, and nothing may point back into the build.
#
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
build=${1:?build directory}
work=$(mktemp -d /tmp/quorlen-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
bin="$work/moved/bin"

for program in "$bin"/*; do
  if ldd "$program" | grep -q 'not found'; then
    echo "FAIL: $program misses libraries:"; ldd "$program"; exit 1
  fi
  if readelf -d "$program" | grep -E 'R(UN)?PATH' | grep -q "$(cd "$build" && pwd)"; then
    echo "FAIL: $program's run-time path names the build tree"; exit 1
  fi
done
test -f "$work/moved/lib/systemd/system/quorlen-gpu-miner.service"

# --help is no option of the miner: it prints the usage text and exits 1.
set +e
usage=$("$bin/quorlen-gpu-miner" --help 2>&1)
status=$?
set -e
if [ "$status" -ne 1 ] || [ "${usage%%$'\n'*}" != "quorlen-gpu-miner" ] || [[ "$usage" != *"--priv <hex32>"* ]]; then
  echo "FAIL: installed miner: status $status, output:"; echo "$usage"; exit 1
fi
if [ -x "$bin/quorlen-devnode" ]; then
  set +e; node_usage=$("$bin/quorlen-devnode" --help 2>&1); set -e
  [[ "$node_usage" == *"--ws-port"* ]] || { echo "FAIL: installed devnode: $node_usage"; exit 1; }
fi
# The man page: installed, free of roff warnings, and every option it lists
# is one the installed miner parses (a bad key then stops it with status 2,
# where an unknown option would print the usage text).
page="$work/moved/share/man/man1/quorlen-gpu-miner.1"
test -f "$page" || { echo "FAIL: no man page at $page"; exit 1; }
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "FAIL: the man page's roff: $warnings"; exit 1; }
# An option line reads \fB\-\-name\fR, then \fIVALUE\fR unless it is a flag.
lines=$(grep '^\\fB\\-\\-' "$page" | sed 's/\\-/-/g; s/\\f[BRI]//g')
[ "$(wc -l <<<"$lines")" -ge 20 ] || { echo "FAIL: the man page lists too few options: $lines"; exit 1; }
while read -r option value; do
  args=("$option")
  [ -z "$value" ] || args+=(1)
  set +e
  out=$("$bin/quorlen-gpu-miner" "${args[@]}" --priv zz 2>&1 </dev/null)
  set -e
  if [[ "$out" == *"--priv <hex32>"* ]]; then
    echo "FAIL: the man page lists $option, which the miner does not take as written there"; exit 1
  fi
done <<<"$lines"
echo "installed tree runs from $work/moved"
