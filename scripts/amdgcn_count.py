#!/usr/bin/env python3
"""Static figures of the OpenCL fill kernel compiled for an AMD GPU, from
the compiler's own assembly listing (clang -S for amdgcn).

    amdgcn_count.py ARCH LISTING [--json]

Registers, scratch and occupancy are the compiler's own comments in the
listing (NumVgprs, NumSgprs, ScratchSize, Occupancy: waves per SIMD). The
block loops are found as back edges (a branch to an earlier label); each is
counted by instruction class. The loop that fills a data-dependent segment
(every block of the miner's Argon2id after the first half of its one pass)
is the block loop with the most cross-lane traffic: its word 0 goes to every
work-item before the next reference is loaded (a ds_bpermute pair, or two
barriers through local memory), and on the permute path its last relayout
is a cross-lane exchange too. The compiler makes one copy of it per
combination of the loop's invariant flags; the miner's (no XOR with the
previous pass: no load of the block being overwritten) is the one with the
fewest global loads, which is what "per block" reports.

"Reference load in flight" follows that loop from its last global load (the
next block's reference) to the first s_waitcnt that waits for one of its
loads, going round the loop: the instructions the load overlaps. Loads
complete in order; on GCN the vector memory counter counts stores as well,
on RDNA stores have a counter of their own. A wait just before a barrier
(which AMD's compiler puts before every work-group barrier on RDNA) ends
the overlap there.
"""
import json
import re
import sys


def classify(ins):
    op = ins.split()[0]
    if op.startswith("global_load") or op.startswith("buffer_load") or op.startswith("flat_load"):
        return "global load"
    if op.startswith("global_store") or op.startswith("buffer_store") or op.startswith("flat_store"):
        return "global store"
    if op == "ds_bpermute_b32":
        return "cross-lane"
    if op.startswith("ds_"):
        return "LDS"
    if op == "s_barrier":
        return "barrier"
    if op.startswith("s_waitcnt"):
        return "wait"
    if op.startswith("v_"):
        return "VALU"
    if op.startswith("s_"):
        return "SALU/branch"
    return "other"


def in_flight(body, arch):
    """Instructions from the last global load to the first wait on a load."""
    stores_count = not (arch.startswith("gfx10") or arch.startswith("gfx11"))
    loads = [i for i, ins in enumerate(body) if classify(ins) == "global load"]
    if not loads:
        return None
    queue = []  # outstanding vector memory operations, oldest first

    def step(ins):
        c = classify(ins)
        if c == "global load":
            queue.append("load")
        elif c == "global store" and stores_count:
            queue.append("store")
        m = re.search(r"vmcnt\((\d+)\)", ins) if c == "wait" else None
        done = queue[:max(0, len(queue) - int(m.group(1)))] if m else []
        del queue[:len(done)]
        return "load" in done

    for ins in body[:loads[-1] + 1]:
        step(ins)
    for count, ins in enumerate(body[loads[-1] + 1:] + body[:loads[-1]]):
        if step(ins):
            return {"instructions": count, "ended_by": ins}
    return None


def main():
    arch, path = sys.argv[1], sys.argv[2]
    as_json = "--json" in sys.argv
    lines = open(path).read().split("\n")
    figures = {}
    for key, pattern in (("vgprs", r"; NumVgprs: (\d+)"), ("sgprs", r"; NumSgprs: (\d+)"),
                         ("scratch_bytes", r"; ScratchSize: (\d+)"), ("occupancy_waves_per_simd", r"; Occupancy: (\d+)"),
                         ("code_bytes", r"codeLenInByte = (\d+)")):
        for line in lines:
            m = re.search(pattern, line)
            if m:
                figures[key] = int(m.group(1))
                break
    labels = {}
    for i, line in enumerate(lines):
        m = re.match(r"^(\.LBB\d+_\d+):", line)
        if m:
            labels[m.group(1)] = i
    # A loop runs from its header to its last back edge.
    ends = {}
    for i, line in enumerate(lines):
        m = re.match(r"^\s+(s_cbranch_\w+|s_branch)\s+(\.LBB\d+_\d+)", line)
        if m and m.group(2) in labels and labels[m.group(2)] < i:
            ends[m.group(2)] = max(ends.get(m.group(2), 0), i)
    loops = []
    for label, end in ends.items():
        start = labels[label]
        if any(labels[o] >= start and e <= end and o != label for o, e in ends.items()):
            continue  # holds another loop: not a block loop
        body = [x.strip() for x in lines[start:end + 1]
                if re.match(r"^\s+[a-z_]", x) and not x.strip().startswith(".")]
        counts = {}
        for ins in body:
            c = classify(ins)
            counts[c] = counts.get(c, 0) + 1
        loops.append({"label": label, "instructions": len(body), "classes": counts, "body": body})
    # Innermost loops that store a block (four stores, one per slot) make blocks.
    blocks = [l for l in loops if l["classes"].get("global store", 0) == 4]
    # A value through local memory takes two barriers.
    traffic = lambda l: l["classes"].get("cross-lane", 0) + l["classes"].get("barrier", 0) / 2
    dependent = []
    if blocks:
        most = max(traffic(l) for l in blocks)
        dependent = [l for l in blocks if traffic(l) == most]
    miner = min(dependent, key=lambda l: (l["classes"].get("global load", 0), l["instructions"])) if dependent else None
    figures["per_block_data_dependent"] = miner["instructions"] if miner else None
    figures["per_block_classes"] = miner["classes"] if miner else None
    flight = in_flight(miner["body"], arch) if miner else None
    figures["reference_load_in_flight_instructions"] = flight["instructions"] if flight else None
    figures["block_loops"] = [{"label": l["label"], "instructions": l["instructions"]} for l in blocks]
    if as_json:
        print(json.dumps({"arch": arch, **figures}))
        return
    print(f"{arch}: {figures.get('vgprs')} VGPRs, {figures.get('sgprs')} SGPRs, scratch {figures.get('scratch_bytes')} B, "
          f"occupancy {figures.get('occupancy_waves_per_simd')} waves/SIMD, code {figures.get('code_bytes')} B")
    if miner:
        classes = ", ".join(f"{k} {v}" for k, v in sorted(miner["classes"].items(), key=lambda kv: -kv[1]))
        print(f"{arch}: per block (data-dependent loop {miner['label']}): {miner['instructions']} instructions: {classes}")
        if flight:
            print(f"{arch}: the next reference's load is in flight for {flight['instructions']} instructions"
                  f" before the first wait for it ({flight['ended_by']})")
    print(f"{arch}: block loops: " + ", ".join(f"{l['label']} {l['instructions']}" for l in blocks))


if __name__ == "__main__":
    main()
