#!/usr/bin/env bash
# The simulated CUDA runtime's own proof: plants faults in the CUDA flavour
# (argon2/cuda, argon2/kernel), one at a time, in a scratch copy of the tree
# (build-mutants/src, never the tree itself), rebuilds the cuda-sim preset
# there incrementally, and runs the tests that should catch each fault once
# per seed (QUORLEN_CUDA_SIM_SEED). A fault counts as caught on a seed when
# the test fails; it is proven only when it fails on every seed. Before the
# faults, the same tests run unmutated on every seed and must pass.
#
#   scripts/cuda-sim-mutants.sh [--list] [NAME...]
#
# MUTANT_SEEDS (default "1 2"), MUTANT_TIMEOUT (seconds per test run,
# default 1200), MUTANT_JOBS (build jobs, default 2), MUTANT_DIR (default
# build-mutants). Prints a Markdown table (docs/cuda-sim-mutants.md keeps the
# latest) and exits 1 when a fault got through on some seed, or a harmless
# change failed. Cost: about 5 CPU-minutes with two seeds, plus one build of
# the scratch copy the first time: not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
exec nice python3 - "$@" <<'PYTHON'
import os, re, shutil, subprocess, sys, time

repo = os.getcwd()
scratch = os.path.abspath(os.environ.get("MUTANT_DIR", "build-mutants"))
tree = os.path.join(scratch, "src")
builddir = os.path.join(tree, "build-cuda-sim")
seeds = os.environ.get("MUTANT_SEEDS", "1 2").split()
timeout = int(os.environ.get("MUTANT_TIMEOUT", "1200"))
jobs = os.environ.get("MUTANT_JOBS", "2")

PU = "argon2/cuda/cuda_processing_unit.cu"
FILL = "argon2/kernel/fill_warp.h"
WARP = "argon2/kernel/warp.h"
LAYOUT = "argon2/kernel/block_layout.h"

# The tests that catch a class of fault, as (binary, gtest filter, extra
# environment as pairs). Each is a small part of `ctest --preset cuda-sim`.
def digests(test, mode):
    return ("gpu_digest_tests", "Modes/EveryDeviceAndMode.%s/%s" % (test, mode), ())
GENERAL_WHOLE = digests("GeneralParameters", "WholePassComputed")
GENERAL_SEGMENT = digests("GeneralParameters", "BySegmentComputed")
GENERAL_TABLE = digests("GeneralParameters", "WholePassPrecomputed")
PAST_4GIB = ("gpu_digest_tests", "Modes/BeyondOffsetBoundaries.MemoryBeyondFourGiB/BySegmentComputed", ())
PAST_32GIB = ("gpu_digest_tests", "Modes/BeyondOffsetBoundaries.WordsBeyondThirtyTwoGiB/BySegmentComputed",
              (("QUORLEN_CUDA_SIM_DEVICES", "rtx3060,h100"),))
PIPELINE = ("gpu_tests", "Hasher.PipelinedDigests*", ())
UNIT = ("cudasim_tests", "CudaSim.UnitRefuses*", (("QUORLEN_CUDA_SIM_DEVICES", "rtx3060,t4,rtx4090,h100"),))

def swap(path, old, new):
    return (path, old, new)

# name, class, edits (file, text, replacement: the text must occur once), test
MUTANTS = [
    ("no-syncthreads-between-slices", "syncs",
     [swap(PU, "        if (slice + 1 < sliceEnd) __syncthreads();\n", "")], GENERAL_WHOLE),
    ("syncwarp-between-slices", "syncs",
     [swap(PU, "if (slice + 1 < sliceEnd) __syncthreads();", "if (slice + 1 < sliceEnd) __syncwarp();")],
     GENERAL_WHOLE),
    ("no-sync-in-relayout", "syncs",
     [swap(FILL, "        W::syncScratch();\n", "")], GENERAL_SEGMENT),
    ("syncwarp-half-mask", "syncs",
     [swap(WARP, "static __device__ __forceinline__ void syncScratch() { __syncwarp(); }",
           "static __device__ __forceinline__ void syncScratch() { __syncwarp(0x0000ffffu); }")], GENERAL_SEGMENT),
    ("shuffle-mask-without-lane-31", "shuffles",
     [swap(WARP, "__shfl_sync(0xffffffffu, v, int(src))", "__shfl_sync(0x7fffffffu, v, int(src))")], GENERAL_SEGMENT),
    ("shuffle-width-16", "shuffles",
     [swap(WARP, "__shfl_sync(0xffffffffu, v, int(src))", "__shfl_sync(0xffffffffu, v, int(src), 16)")],
     GENERAL_SEGMENT),
    ("shuffle-across-groups", "shuffles",
     [swap(FILL, "return (l & 28u) | ((l + k) & 3u);", "return (l & 28u) | ((l + k) & 7u);")], GENERAL_SEGMENT),
    ("reference-from-lane-1", "shuffles",
     [swap(FILL, "W::mapLane32([](std::uint32_t) { return 0u; })", "W::mapLane32([](std::uint32_t) { return 1u; })")],
     GENERAL_SEGMENT),
    ("tags-downloaded-on-upload-stream", "streams and events",
     [swap(PU, "batch * 64, cudaMemcpyDeviceToHost,\n                                  stream.stream)",
           "batch * 64, cudaMemcpyDeviceToHost,\n                                  uploads.stream)")], GENERAL_SEGMENT),
    ("last-blocks-downloaded-on-upload-stream", "streams and events",
     [swap(PU, "cudaMemcpyDeviceToHost, stream.stream),\n                  \"downloading last blocks\"",
           "cudaMemcpyDeviceToHost, uploads.stream),\n                  \"downloading last blocks\"")], GENERAL_SEGMENT),
    ("results-read-without-event-sync", "streams and events",
     [swap(PU, "        check(cudaEventSynchronize(r.done.event), \"running the batch\");\n", "")], GENERAL_SEGMENT),
    ("end-event-before-download", "streams and events",
     [swap(PU, "        check(cudaEventRecord(r.done.event, stream.stream), \"recording the round's end\");\n", ""),
      swap(PU, "        if (deviceTags) {\n            check(launch(\"tagKernel\"",
           "        check(cudaEventRecord(r.done.event, stream.stream), \"recording the round's end\");\n"
           "        if (deviceTags) {\n            check(launch(\"tagKernel\"")], GENERAL_SEGMENT),
    ("fill-not-waiting-for-upload", "streams and events",
     [swap(PU, "        check(cudaStreamWaitEvent(stream.stream, r.uploaded.event, 0), \"ordering the upload\");\n", "")],
     GENERAL_SEGMENT),
    ("upload-event-on-fill-stream", "streams and events",
     [swap(PU, "cudaEventRecord(r.uploaded.event, uploads.stream)", "cudaEventRecord(r.uploaded.event, stream.stream)")],
     GENERAL_SEGMENT),
    ("upload-event-before-upload", "streams and events",
     [swap(PU, "        check(cudaEventRecord(r.uploaded.event, uploads.stream), \"recording the upload\");\n", ""),
      swap(PU, "        check(cudaMemcpyAsync(r.deviceH0s.ptr, r.h0s.ptr,",
           "        check(cudaEventRecord(r.uploaded.event, uploads.stream), \"recording the upload\");\n"
           "        check(cudaMemcpyAsync(r.deviceH0s.ptr, r.h0s.ptr,")], GENERAL_SEGMENT),
    ("hash-byte-offset-in-32-bits", "offsets",
     [swap(LAYOUT, "return ((std::size_t(hash) * g.lanes + lane) * g.laneBlocks + block) * 128;",
           "return std::size_t(std::uint32_t(((std::size_t(hash) * g.lanes + lane) * g.laneBlocks + block) * 1024)) / 8;")],
     PAST_4GIB),
    ("fill-hash-offset-in-32-bits", "offsets",
     [swap(PU, "memory + kernel::blockWord(g, blockIdx.x, 0, 0);",
           "memory + std::uint32_t(kernel::blockWord(g, blockIdx.x, 0, 0) * 8) / 8;")], PAST_4GIB),
    ("tag-offset-in-32-bits", "offsets",
     [swap(PU, "memory + kernel::blockWord(g, hash, 0, g.laneBlocks - 1);",
           "memory + std::uint32_t(kernel::blockWord(g, hash, 0, g.laneBlocks - 1) * 8) / 8;")], PAST_4GIB),
    ("word-index-in-32-bits", "32-bit overflow",
     [swap(LAYOUT, "return ((std::size_t(hash) * g.lanes + lane) * g.laneBlocks + block) * 128;",
           "return std::uint32_t(((std::size_t(hash) * g.lanes + lane) * g.laneBlocks + block) * 128);")], PAST_32GIB),
    ("reference-prefetch-unclamped", "bounds",
     [swap(FILL, "afterThat = W::read(refs + clamp(i + 2));", "afterThat = W::read(refs + (i + 2));")], GENERAL_TABLE),
    ("tag-reads-one-block-on", "bounds",
     [swap(PU, "memory + kernel::blockWord(g, hash, 0, g.laneBlocks - 1);",
           "memory + kernel::blockWord(g, hash, 0, g.laneBlocks);")], GENERAL_SEGMENT),
    ("lanes-beyond-a-block-accepted", "bounds",
     [swap(PU, "constexpr std::uint32_t kMaxLanes = 32;", "constexpr std::uint32_t kMaxLanes = 64;")], UNIT),
    ("first-blocks-half-the-threads", "launch shapes",
     [swap(PU, "dim3(g.lanes * 2), 0, stream.stream}", "dim3(g.lanes), 0, stream.stream}")], GENERAL_SEGMENT),
    ("fill-grid-short", "launch shapes",
     [swap(PU, "const LaunchShape fill{dim3(unsigned(batch)),", "const LaunchShape fill{dim3(unsigned(batch + 1) / 2),")],
     GENERAL_SEGMENT),
    ("fill-shared-memory-short", "launch shapes",
     [swap(PU, "fillSharedBytes(g.lanes), stream.stream}", "fillSharedBytes(g.lanes) - 1024, stream.stream}")],
     GENERAL_SEGMENT),
    ("tag-grid-of-one", "launch shapes",
     [swap(PU, "{dim3(unsigned(batch)), dim3(1), 0, stream.stream}", "{dim3(1), dim3(1), 0, stream.stream}")],
     GENERAL_SEGMENT),
    ("one-device-h0-buffer", "buffers shared between rounds",
     [swap(PU, "check(cudaMemcpyAsync(r.deviceH0s.ptr,", "check(cudaMemcpyAsync(rounds.begin()->deviceH0s.ptr,"),
      swap(PU, "memory.ptr, r.deviceH0s.ptr, g),", "memory.ptr, rounds.begin()->deviceH0s.ptr, g),")], PIPELINE),
    ("one-pinned-tag-buffer", "buffers shared between rounds",
     [swap(PU, "check(cudaMemcpyAsync(r.tagWords.ptr,", "check(cudaMemcpyAsync(rounds.begin()->tagWords.ptr,"),
      swap(PU, "std::memcpy(tags.slot(slot), r.tagWords.ptr", "std::memcpy(tags.slot(slot), rounds.begin()->tagWords.ptr")],
     PIPELINE),
    ("one-pinned-h0-buffer", "buffers shared between rounds",
     [swap(PU, "std::memcpy(r.h0s.ptr + slot * 8, h0, 64);", "std::memcpy(rounds.begin()->h0s.ptr + slot * 8, h0, 64);"),
      swap(PU, "params->initialHash(r.h0s.ptr + slot * 8,", "params->initialHash(rounds.begin()->h0s.ptr + slot * 8,"),
      swap(PU, "r.deviceH0s.ptr, r.h0s.ptr, batch * 64,", "r.deviceH0s.ptr, rounds.begin()->h0s.ptr, batch * 64,")],
     PIPELINE),
]

# Faults that are none: each changes nothing a card would do differently,
# for the reason given. They run like the others and must pass.
HARMLESS = [
    ("block-index-in-32-bits", "32-bit overflow",
     [swap(LAYOUT, "return ((std::size_t(hash) * g.lanes + lane) * g.laneBlocks + block) * 128;",
           "return std::size_t((hash * g.lanes + lane) * g.laneBlocks + block) * 128;")], PAST_32GIB,
     "a block index passes 2^32 only past 4 TiB of blocks; the 32-bit overflow is in the word and byte offsets"),
    ("reference-table-on-upload-stream", "streams and events",
     [swap(PU, "cudaMemcpyHostToDevice, stream.stream),\n                  \"uploading refs\"",
           "cudaMemcpyHostToDevice, uploads.stream),\n                  \"uploading refs\"")], GENERAL_TABLE,
     "the first round's H0 upload follows it on the upload stream, and every fill waits for that upload's event"),
    ("second-sync-in-relayout", "syncs",
     [swap(FILL, "        for (int m = 0; m < 4; ++m) x[m] = W::gather(scratch, to[m]);\n",
           "        for (int m = 0; m < 4; ++m) x[m] = W::gather(scratch, to[m]);\n        W::syncScratch();\n")],
     GENERAL_SEGMENT,
     "the sync the relayout no longer has: each lane next writes exactly the words it read, so it orders nothing"),
]

def log(text):
    print(text, file=sys.stderr, flush=True)

def sync_tree():
    """Copies the tree's tracked files into the scratch copy, those that differ only."""
    files = subprocess.run(["git", "ls-files", "-z"], check=True, capture_output=True).stdout.decode().split("\0")
    for f in filter(None, files):
        src, dst = os.path.join(repo, f), os.path.join(tree, f)
        if not os.path.isfile(src):
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if not os.path.exists(dst) or open(src, "rb").read() != open(dst, "rb").read():
            shutil.copyfile(src, dst)  # a fresh time stamp: make rebuilds what depends on it

def restore(path):
    shutil.copyfile(os.path.join(repo, path), os.path.join(tree, path))

def build(targets):
    r = subprocess.run(["cmake", "--build", builddir, "-j", jobs, "--target", *targets], capture_output=True, text=True)
    if r.returncode != 0:
        log(r.stdout[-3000:] + r.stderr[-3000:])
    return r.returncode == 0

def run(test, seed):
    """Runs one test set; returns (failed, what caught it)."""
    binary, pattern, extra = test
    env = dict(os.environ, QUORLEN_CUDA_SIM_SEED=seed, **dict(extra))
    try:
        r = subprocess.run([os.path.join(builddir, binary), "--gtest_filter=" + pattern], cwd=builddir, env=env,
                           capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return True, "timeout after %d s" % timeout
    out = r.stdout + r.stderr
    if r.returncode == 0:
        return False, ""
    check = re.search(r"^cuda-sim: (.*)$", out, re.M)
    if check:
        log("  " + check.group(1))
        for pattern, label in CHECKS:
            if pattern in check.group(1):
                return True, label
        return True, check.group(1)[:80]
    failure = re.search(r"^\S+:\d+: Failure\n(?:Failed\n)?(.*)$", out, re.M)
    log("  " + (failure.group(1) if failure else "exit %d" % r.returncode))
    if failure and "Expected equality" in failure.group(1):
        return True, "wrong digests"
    return True, failure.group(1)[:80] if failure else "exit %d" % r.returncode

# The simulated runtime's checks, by the words of their reports.
CHECKS = [
    ("shared-memory race", "shared-memory race"),
    ("nothing wrote in this block", "unwritten shared memory read"),
    ("global-memory race", "global-memory race"),
    ("cannot all complete", "rendezvous that cannot complete"),
    ("has exited", "rendezvous with an exited lane"),
    ("outside every allocation", "access outside every allocation"),
    ("no copy or kernel wrote", "unwritten device memory read"),
    ("may still be writing", "read under a copy on another stream"),
    ("nothing orders them", "unordered operations on two streams"),
    ("the host wrote pinned memory", "pinned memory rewritten under a copy"),
]

def main(argv):
    everything = [m + (None,) for m in MUTANTS] + HARMLESS
    if "--list" in argv:
        for name, kind, _, test, reason in everything:
            print("%-40s %-30s %s %s%s" % (name, kind, test[0], test[1], " (harmless)" if reason else ""))
        return 0
    chosen = [m for m in everything if not argv or m[0] in argv]
    unknown = set(argv) - {m[0] for m in everything}
    if unknown:
        log("unknown mutants: " + ", ".join(sorted(unknown)))
        return 2
    started = time.time()
    os.makedirs(tree, exist_ok=True)
    sync_tree()
    if not os.path.exists(os.path.join(builddir, "CMakeCache.txt")):
        subprocess.run(["cmake", "--preset", "cuda-sim"], cwd=tree, check=True, stdout=subprocess.DEVNULL)
    binaries = sorted({m[3][0] for m in chosen})
    if not build(binaries):
        log("the unmutated tree does not build")
        return 2
    for test in sorted({m[3] for m in chosen}, key=str):
        for seed in seeds:
            failed, why = run(test, seed)
            log("baseline %s %s seed %s: %s" % (test[0], test[1], seed, why or "passes"))
            if failed:
                log("the unmutated tree fails its own tests: no mutant can be judged")
                return 2
    rows, escaped = [], []
    for name, kind, edits, test, reason in chosen:
        for path, old, new in edits:
            target = os.path.join(tree, path)
            text = open(target).read()
            if text.count(old) != 1:
                log("%s: the text to replace occurs %d times in %s" % (name, text.count(old), path))
                return 2
            open(target, "w").write(text.replace(old, new))
        try:
            if not build([test[0]]):
                rows.append((name, kind, ["does not build"] * len(seeds), test, reason))
                escaped.append(name)
                continue
            results = []
            for seed in seeds:
                failed, why = run(test, seed)
                if reason:
                    results.append(("FAILS: %s" % why) if failed else "passes")
                else:
                    results.append(("caught: %s" % why) if failed else "NOT CAUGHT")
                log("%s seed %s: %s" % (name, seed, results[-1]))
            if any(r == "NOT CAUGHT" or r.startswith("FAILS") for r in results):
                escaped.append(name)
            rows.append((name, kind, results, test, reason))
        finally:
            for path in {e[0] for e in edits}:
                restore(path)
    print("| mutant | class | test | " + " | ".join("seed " + s for s in seeds) + " |")
    print("|---|---|---|" + "---|" * len(seeds))
    for name, kind, results, test, reason in rows:
        print("| %s | %s | `%s %s` | %s |" % (name + (" (harmless)" if reason else ""), kind, test[0], test[1],
                                             " | ".join(r.replace("|", "/") for r in results)))
    harmless = [row for row in rows if row[4]]
    if harmless:
        print()
        for name, _, _, _, reason in harmless:
            print("- %s changes nothing: %s." % (name, reason))
    print("\n%d faults planted, %d caught on every seed; %d harmless changes; %.0f s" %
          (len(rows) - len(harmless), len([r for r in rows if not r[4] and r[0] not in escaped]), len(harmless),
           time.time() - started))
    if escaped:
        print("not as expected on every seed: " + ", ".join(escaped))
    return 1 if escaped else 0

sys.exit(main(sys.argv[1:]))
PYTHON
