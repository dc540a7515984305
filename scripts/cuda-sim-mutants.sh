#!/usr/bin/env bash
# The simulated CUDA runtime's own proof: plants faults in the CUDA flavour
# (argon2/cuda, argon2/kernel), one at a time, in a scratch copy of the tree
# (build-mutants/src, never the tree itself), rebuilds the cuda-sim preset
# there incrementally, and runs the tests that should catch each fault once
# per seed (QUORLEN_CUDA_SIM_SEED). Faults of the OpenCL flavour run the same
# way on the opencl preset (PoCL, under the fault shim's driver limits),
# once: nothing there is seeded. A fault counts as caught on a seed when
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
seeds = os.environ.get("MUTANT_SEEDS", "1 2").split()
timeout = int(os.environ.get("MUTANT_TIMEOUT", "1200"))
jobs = os.environ.get("MUTANT_JOBS", "2")

PU = "argon2/cuda/cuda_processing_unit.cu"
BOUNDS = "argon2/cuda/kernel_bounds.inc"
CHECK = "argon2/cuda/cuda_check.h"
CL_PU = "argon2/opencl/cl_processing_unit.cpp"
CL_RUNTIME = "argon2/opencl/cl_runtime.cpp"
CL_FILL = "argon2/opencl/fill.cl"
FILL = "argon2/kernel/fill_warp.h"
WARP = "argon2/kernel/warp.h"
LAYOUT = "argon2/kernel/block_layout.h"

# The tests that catch a class of fault, as (binary, gtest filter, extra
# environment as pairs[, preset]). Each is a small part of `ctest --preset
# cuda-sim` (or of the opencl preset's, with the environment ctest gives it).
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
WIDEST = ("cudasim_tests", "CudaSim.LaunchBeyondItsBoundsIsRefused", (("QUORLEN_CUDA_SIM_DEVICES", "rtx3060,t4,rtx4090,h100"),))
CODES = ("cudasim_tests", "CudaSim.StickyErrorsAloneAreALostContext", ())

# OpenCL: the shim's path is filled in when the scratch tree's is known.
SHIM = "{build}/lib/libopencl_fault_shim.so"
CL_LIMITS = (("LD_PRELOAD", SHIM), ("QUORLEN_CL_LIMITS", "alloc-mib:40,work-group:256"),
             ("POCL_WORK_GROUP_SPECIALIZATION", "0"))
CL_BATCHES = ("gpu_digest_tests", "Modes/EveryDeviceAndMode.MinerParametersAtEveryBatchShape/BySegmentComputed",
              CL_LIMITS, "opencl")
CL_GENERAL = ("gpu_digest_tests", "Modes/EveryDeviceAndMode.GeneralParameters/BySegmentComputed", CL_LIMITS, "opencl")
CL_WORK_GROUP = ("gpu_digest_tests", "Argon2.OpenClWorkGroupOverTheLimitIsRefusedOnce", CL_LIMITS, "opencl")
CL_CODES = ("argon2_tests", "Argon2.OpenClLostDeviceCodes", (), "opencl")
CL_PAST_4GIB = ("gpu_digest_tests", "Modes/BeyondOffsetBoundaries.MemoryBeyondFourGiB/BySegmentComputed",
                (("LD_PRELOAD", SHIM), ("QUORLEN_CL_LIMITS", "sparse"), ("POCL_WORK_GROUP_SPECIALIZATION", "0")),
                "opencl")
CL_SUBGROUP = ("gpu_digest_tests", "ExchangeRules/EveryDeviceAndMode.GeneralParameters/subgroup_32", CL_LIMITS,
               "opencl")

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
    ("first-blocks-half-a-word-off", "alignment",
     [swap(PU, "std::uint64_t* out = memory + kernel::blockWord(g, hash, lane, index);",
           "std::uint64_t* out = reinterpret_cast<std::uint64_t*>(\n"
           "        reinterpret_cast<char*>(memory + kernel::blockWord(g, hash, lane, index)) + 4);")], GENERAL_SEGMENT),
    ("fill-bounds-half-the-block", "launch bounds",
     [swap(PU, "__global__ void __launch_bounds__(kMaxLanes * 32)", "__global__ void __launch_bounds__(kMaxLanes * 16)"),
      swap(BOUNDS, '{"fillKernel", 1024},', '{"fillKernel", 512},')], WIDEST),
    ("blocks-loaded-through-ldg", "read-only path",
     [swap(WARP, "static __device__ __forceinline__ U64 load(const std::uint64_t* p) { return deviceRead(p + (threadIdx.x & 31u)); }",
           "static __device__ __forceinline__ U64 load(const std::uint64_t* p) { return deviceReadOnly(p + (threadIdx.x & 31u)); }")],
     GENERAL_SEGMENT),
    ("sticky-code-dropped", "fault codes",
     [swap(CHECK, "cudaErrorIllegalInstruction, cudaErrorMisalignedAddress,", "cudaErrorIllegalInstruction,")], CODES),
    ("cl-buffer-one-hash-over-the-limit", "allocation limits",
     [swap(CL_PU, "std::size_t(d.maxAllocation) / hashBytes());", "std::size_t(d.maxAllocation) / hashBytes() + 1);")],
     CL_BATCHES),
    ("cl-no-work-group-check", "work-group limits",
     [swap(CL_PU, "        checkWorkGroup(d);\n", "")], CL_WORK_GROUP),
    ("cl-local-scratch-a-block-short", "local memory",
     [swap(CL_PU, "clSetKernelArg(fill.kernel, 13, std::size_t(g.lanes) * kBlockSize, nullptr)",
           "clSetKernelArg(fill.kernel, 13, std::size_t(g.lanes - 1) * kBlockSize + 8, nullptr)")], CL_GENERAL),
    ("cl-vendor-codes-not-lost", "fault codes",
     [swap(CL_RUNTIME, "    if (code <= kVendorFaultCodes) return true;\n", "")], CL_CODES),
    ("cl-hash-offset-in-32-bits", "offsets",
     [swap(CL_FILL, "__global u64* hashMemory = memory + hash * s.g.laneBlocks * lanes * 128;",
           "__global u64* hashMemory = memory + (size_t)(u32)(hash * s.g.laneBlocks * lanes * 1024) / 8;")],
     CL_PAST_4GIB),
    ("cl-sub-group-index-past-the-sub-group", "sub-group indices",
     [swap(CL_FILL, "    w.base = get_sub_group_local_id() & ~31u;", "    w.base = (get_sub_group_local_id() & ~31u) + 32u;")],
     CL_SUBGROUP),
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

def preset_of(test):
    return test[3] if len(test) > 3 else "cuda-sim"

def build_dir(preset):
    return os.path.join(tree, "build-" + preset)

def build(targets, preset="cuda-sim"):
    if not os.path.exists(os.path.join(build_dir(preset), "CMakeCache.txt")):
        subprocess.run(["cmake", "--preset", preset], cwd=tree, check=True, stdout=subprocess.DEVNULL)
    if preset == "opencl":
        targets = list(targets) + ["opencl_fault_shim"]
    r = subprocess.run(["cmake", "--build", build_dir(preset), "-j", jobs, "--target", *targets], capture_output=True,
                       text=True)
    if r.returncode != 0:
        log(r.stdout[-3000:] + r.stderr[-3000:])
    return r.returncode == 0

def run(test, seed):
    """Runs one test set; returns (failed, what caught it)."""
    binary, pattern, extra = test[:3]
    where = build_dir(preset_of(test))
    env = dict(os.environ, QUORLEN_CUDA_SIM_SEED=seed, **{k: v.format(build=where) for k, v in extra})
    if preset_of(test) == "opencl":  # PoCL's and our kernel caches beside the scratch build
        env.setdefault("XDG_CACHE_HOME", os.path.join(where, "cache"))
    try:
        r = subprocess.run([os.path.join(where, binary), "--gtest_filter=" + pattern], cwd=where, env=env,
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
    for pattern, label in FAILURES:
        if pattern in out:
            return True, label
    if re.search(r"^code -?\d+", out, re.M):
        return True, "a code misread"
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
    ("misaligned", "misaligned address"),
    ("read-only data path", "read-only load of the launch's own stores"),
]

# What a failed test said, where no check of the simulated runtime spoke.
FAILURES = [
    ("too many resources requested for launch", "launch over its bounds refused"),
    ("out of memory", "allocation refused"),
    ("lanes accepted over a limit", "work-group over the limit accepted"),
    ("local memory", "local memory short of the work-group"),
    ("getImplementationName", "path refused by the known-answer check"),
]

def seeds_of(test):
    return seeds if preset_of(test) == "cuda-sim" else seeds[:1]

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
    for preset in sorted({preset_of(m[3]) for m in chosen}):
        if not build(sorted({m[3][0] for m in chosen if preset_of(m[3]) == preset}), preset):
            log("the unmutated tree does not build (%s)" % preset)
            return 2
    for test in sorted({m[3] for m in chosen}, key=str):
        for seed in seeds_of(test):
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
            if not build([test[0]], preset_of(test)):
                rows.append((name, kind, ["does not build"] * len(seeds), test, reason))
                escaped.append(name)
                continue
            results = []
            for seed in seeds_of(test):
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
        results = results + ["(not seeded)"] * (len(seeds) - len(results))
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
