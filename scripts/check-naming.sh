#!/usr/bin/env bash
# The house naming rule (.clang-tidy, argon2/.clang-tidy) over every source
# of src/, argon2/ and devnode/ that the build compiles, and the headers they
# include from those folders. Fails on any breach not listed in
# scripts/naming-baseline.txt (the breaches still waiting in files being
# reworked elsewhere); says which baseline entries are gone.
#
#   scripts/check-naming.sh [BUILD_DIR]    # default: build (the default preset)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}

if [ ! -f "$build/compile_commands.json" ]; then
  [ "$build" = build ] || { echo "check-naming: no $build/compile_commands.json" >&2; exit 1; }
  cmake --preset default >/dev/null
fi
# The one generated source the checked files include.
cmake --build "$build" --target dashboard_page_inc >/dev/null

out=$(mktemp)
trap 'rm -f "$out"' EXIT
mapfile -t files < <(python3 -c '
import json, re, sys
root = sys.argv[1]
db = json.load(open(sys.argv[2]))
print("\n".join(sorted({e["file"] for e in db if re.match(re.escape(root) + r"/(src|argon2|devnode)/", e["file"])})))
' "$root" "$build/compile_commands.json")

# Headers are reached both in the tree and through the build's include
# links (build/src/include/<layer>/<layer> -> src/<layer>).
run-clang-tidy -j 2 -quiet -p "$build" \
  -header-filter="^$root/(src|argon2|devnode|$build/src/include)/" \
  "${files[@]}" >"$out" 2>&1 || true

python3 - "$root" "$out" scripts/naming-baseline.txt <<'PY'
import os, re, sys
root, out, baseline_path = sys.argv[1:]
text = re.sub(r"\x1b\[[0-9;]*m", "", open(out, errors="replace").read())
found = {}
errors = []
for line in text.splitlines():
    m = re.match(r"(/[^:]+):(\d+):\d+: (warning|error): (.*)$", line)
    if not m:
        continue
    path = os.path.relpath(os.path.realpath(m.group(1)), root)
    if m.group(3) == "error":
        errors.append(f"{path}:{m.group(2)}: {m.group(4)}")
        continue
    w = re.match(r"invalid case style for (.*) \[readability-identifier-naming\]$", m.group(4))
    if w:
        found.setdefault(f"{path}: {w.group(1)}", f"{path}:{m.group(2)}")
baseline = set()
for line in open(baseline_path):
    line = line.strip()
    if line and not line.startswith("#"):
        baseline.add(line)
new = sorted(k for k in found if k not in baseline)
gone = sorted(baseline - set(found))
for e in sorted(set(errors)):
    print("check-naming: could not check:", e)
for k in new:
    print(f"check-naming: {found[k]}: {k.split(': ', 1)[1]} breaks the naming rule (docs/development.md, House style)")
for k in gone:
    print(f"check-naming: fixed, remove from {baseline_path}: {k}")
print(f"check-naming: {len(new)} new breach(es), {len(baseline) - len(gone)} left in the baseline")
sys.exit(1 if new or errors else 0)
PY
