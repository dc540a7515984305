#!/usr/bin/env python3
"""Static instruction counts of one kernel in `cuobjdump -sass` output.

    sass_count.py ARCH LISTING KERNEL [--via OPCODE_REGEX] [--json]

For the kernel whose mangled name contains KERNEL: its size, its loops (each
backward branch closes one), each loop body's size by instruction class, and
the instructions one trip round each innermost per-block loop issues on its
common path. The common path is the shortest way from the loop's head to its
back branch along forward edges: the rare work a loop skips around (address
blocks every 128 blocks, a segment's first block) is left out, and a CALL
counts as the whole subroutine it runs. Predicated-off instructions still
issue, so they count. With --via, each loop also gets the shortest trip
that passes an instruction whose opcode matches: a way to price one arm of a
loop that serves several kinds of segment.
"""
import json
import re
import sys
from collections import Counter

LINE = re.compile(r"/\*([0-9a-f]{4,})\*/\s+(.*?)\s*;")
FUNCTION = re.compile(r"Function : (\S+)")
# Classes reported in their own column; anything else is summed as "other".
CLASSES = ["SEL", "IMAD", "IADD3", "LOP3", "SHF", "PRMT", "SHFL", "ISETP", "LEA", "MOV", "LDG", "STG", "LDS",
           "STS", "BAR", "CALL", "RET", "BRA", "WARPSYNC", "BSSY", "BSYNC"]


def parse(listing, kernel):
    """[(address, predicate, opcode, operands)] of the first function matching."""
    out, inside = [], False
    for raw in listing.splitlines():
        m = FUNCTION.search(raw)
        if m:
            if inside:
                break
            inside = kernel in m.group(1)
            continue
        if not inside:
            continue
        m = LINE.search(raw)
        if not m:
            continue
        text = m.group(2).strip()
        pred = ""
        if text.startswith("@"):
            pred, text = text.split(None, 1)
        op, _, rest = text.partition(" ")
        out.append((int(m.group(1), 16), pred, op, rest.strip()))
    return out


def klass(op):
    base = op.split(".")[0]
    return base


def target(rest):
    m = re.search(r"0x([0-9a-f]+)", rest)
    return int(m.group(1), 16) if m else None


def histogram(instrs):
    c = Counter(klass(op) for _, _, op, _ in instrs)
    row = {k: c.get(k, 0) for k in CLASSES}
    row["other"] = sum(v for k, v in c.items() if k not in CLASSES)
    return row


def successors(instrs, index, i, subs=None):
    """Where control goes after instruction i. A CALL to a subroutine (code
    that reaches a RET) returns; any other CALL (ptxas uses CALL.REL.NOINC to
    leave a loop at a convergence point) is a jump."""
    _, pred, op, rest = instrs[i]
    k = klass(op)
    out = []
    # Newer architectures put a uniform branch's predicate among the
    # operands (BRA.U !UP0, target): conditional all the same.
    pred = pred or re.match(r"!?U?P[0-6T]\b", rest) is not None
    if k == "BRA" or (k == "CALL" and subs is not None and target(rest) not in subs):
        t = target(rest)
        if t in index:
            out.append(index[t])
        # BRA.DIV leaves only when the warp has diverged: it also falls through.
        if not pred and not op.startswith("BRA.DIV"):
            return out
    if k in ("EXIT", "RET") and not pred:
        return out
    if i + 1 < len(instrs):
        out.append(i + 1)
    return out


def subroutine_sizes(instrs, index):
    """{target: instructions} of every CALL target from which a RET is reached."""
    sizes = {}
    for _, _, op, rest in instrs:
        t = target(rest)
        if klass(op) != "CALL" or t in sizes or t not in index:
            continue
        seen, work, returns = set(), [index[t]], False
        while work:
            n = work.pop()
            if n in seen:
                continue
            seen.add(n)
            returns |= klass(instrs[n][2]) == "RET"
            work.extend(successors(instrs, index, n))
        if returns:
            sizes[t] = len(seen)
    return sizes


def loops_of(instrs, index, subs):
    """Natural loops, found from the back edges of a depth-first walk: {header: (nodes, back branches)}."""
    succ = [successors(instrs, index, i, subs) for i in range(len(instrs))]
    pred = [[] for _ in instrs]
    for i, ss in enumerate(succ):
        for j in ss:
            pred[j].append(i)
    state = [0] * len(instrs)  # 0 new, 1 on the stack, 2 done
    back = {}
    stack = [(0, iter(succ[0]))]
    state[0] = 1
    while stack:
        node, it = stack[-1]
        nxt = next(it, None)
        if nxt is None:
            state[node] = 2
            stack.pop()
        elif state[nxt] == 1:
            back.setdefault(nxt, []).append(node)
        elif state[nxt] == 0:
            state[nxt] = 1
            stack.append((nxt, iter(succ[nxt])))
    loops = {}
    for h, tails in back.items():
        nodes, work = {h}, list(tails)
        while work:
            n = work.pop()
            if n not in nodes:
                nodes.add(n)
                work.extend(pred[n])
        loops[h] = (nodes, tails)
    return loops, succ


def common_path(instrs, succ, nodes, head, tails, subs, via=None):
    """Fewest issued instructions from the header to a back branch, inside the
    loop (and through an instruction whose opcode matches `via`, if given)."""
    import heapq

    def cost(i):
        _, _, op, rest = instrs[i]
        return 1 + (subs.get(target(rest), 0) if klass(op) == "CALL" else 0)

    def passes(i):
        return via is not None and re.match(via, instrs[i][2]) is not None

    # States are (instruction, whether `via` has been passed).
    start = (head, via is None or passes(head))
    best, came = {start: cost(head)}, {}
    heap = [(best[start], start)]
    while heap:
        d, (n, ok) = heapq.heappop(heap)
        if d > best.get((n, ok), float("inf")):
            continue
        if n in tails and ok:
            trip, state = [], (n, ok)
            while state is not None:
                trip.append(instrs[state[0]])
                state = came.get(state)
            return {"count": d, "classes": histogram(trip)}
        for m in succ[n]:
            if instrs[n][2].startswith("BRA.DIV") and m != n + 1:
                continue  # a converged warp does not take its divergence fallback
            state = (m, ok or passes(m))
            if m in nodes and m != head and d + cost(m) < best.get(state, float("inf")):
                best[state] = d + cost(m)
                came[state] = (n, ok)
                heapq.heappush(heap, (best[state], state))
    return None


def analyse(instrs, via=None):
    index = {a: i for i, (a, _, _, _) in enumerate(instrs)}
    subs = subroutine_sizes(instrs, index)
    found, succ = loops_of(instrs, index, subs)
    loops = []
    for h, (nodes, tails) in sorted(found.items()):
        body = [instrs[i] for i in sorted(nodes)]
        inner = not any(o != h and o in nodes for o in found)
        loops.append({"head": instrs[h][0], "size": len(body), "innermost": inner,
                      "calls": sum(1 for _, _, op, rest in body if klass(op) == "CALL" and target(rest) in subs),
                      "common_path": common_path(instrs, succ, nodes, h, set(tails), subs),
                      "path_via": common_path(instrs, succ, nodes, h, set(tails), subs, via) if via else None,
                      "classes": histogram(body)})
    return {
        "size": len(instrs),
        "classes": histogram(instrs),
        "calls": sum(1 for _, _, op, rest in instrs if klass(op) == "CALL" and target(rest) in subs),
        "subroutines": {hex(t): n for t, n in subs.items()},
        "loops": loops,
    }


def show(arch, r):
    cols = ["SEL", "IMAD", "IADD3", "LOP3", "SHF", "SHFL", "ISETP", "LDG", "STG", "LDS", "STS", "CALL", "BRA",
            "other"]
    print(f"{arch}: fill kernel {r['size']} instructions, {r['classes']['CALL']} CALL, "
          f"{r['calls']} of them to {len(r['subroutines'])} subroutines{': ' if r['subroutines'] else ''}{', '.join(f'{k} of {v}' for k, v in r['subroutines'].items())}")
    print(f"  {'':24} {'size':>5} {'path':>5} " + " ".join(f"{c:>5}" for c in cols))
    print(f"  {'whole kernel':24} {r['size']:>5} {'':>5} " + " ".join(f"{r['classes'][c]:>5}" for c in cols))
    for lp in r["loops"]:
        name = f"loop at {lp['head']:#06x}" + ("" if lp["innermost"] else " (outer)")
        print(f"  {name:24} {lp['size']:>5} {'':>5} " + " ".join(f"{lp['classes'][c]:>5}" for c in cols))
        for label, trip in (("  common path", lp["common_path"]), (f"  path via {r['via']}", lp.get("path_via"))):
            if trip:
                print(f"  {label:24} {'':>5} {trip['count']:>5} " + " ".join(f"{trip['classes'][c]:>5}" for c in cols))


def main():
    argv = sys.argv[1:]
    via = None
    if "--via" in argv:
        k = argv.index("--via")
        via = argv[k + 1]
        del argv[k:k + 2]
    args = [a for a in argv if not a.startswith("--")]
    if len(args) != 3:
        sys.exit("usage: sass_count.py ARCH LISTING KERNEL [--via OPCODE_REGEX] [--json]")
    arch, listing, kernel = args
    with open(listing) as f:
        instrs = parse(f.read(), kernel)
    if not instrs:
        sys.exit(f"sass_count: no function matching {kernel} in {listing}")
    r = analyse(instrs, via)
    r["via"] = via
    if "--json" in sys.argv:
        print(json.dumps({"arch": arch, **r}))
    else:
        show(arch, r)


if __name__ == "__main__":
    main()
