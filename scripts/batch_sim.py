#!/usr/bin/env python3
"""How evenly a batch fills a card: a model, not a measurement.

    scripts/batch_sim.py waves      the tuner's sizes on three card classes:
                                    resident hashes, waves, modelled rate,
                                    and the size the tuner's rules would keep
    scripts/batch_sim.py channels   DRAM channel balance of a batch's accesses:
                                    identical or distinct texts, hashes in
                                    lockstep or drifted, with or without a
                                    per-hash offset

Assumptions are named where they are used; every figure printed follows from
them and from the kernel's resources (registers, shared memory per block)
given on the command line or by default those of the current kernel.
"""
import argparse
import math
import random

MIB16 = 1 << 24
BYTES_PER_HASH = 2 * MIB16  # each block read once and written once


class Card:
    def __init__(self, name, sms, gb, bandwidth, max_blocks):
        self.name, self.sms, self.gb, self.bandwidth, self.max_blocks = name, sms, gb, bandwidth, max_blocks


CARDS = [
    Card("RTX 4090 (sm_89)", 128, 24, 1008e9, 24),
    Card("RTX 3090 (sm_86)", 82, 24, 936e9, 16),
    Card("RTX 3060 (sm_86)", 28, 12, 360e9, 16),
]


def resident_hashes(card, registers, shared_per_hash, lanes=2):
    """Hashes (thread blocks of 32 x lanes threads) an SM holds at once."""
    warp_regs = math.ceil(registers * 32 / 256) * 256  # allocated per warp in units of 256
    by_regs = (65536 // warp_regs) // lanes
    by_warps = 48 // lanes
    by_shared = (100 * 1024) // shared_per_hash if shared_per_hash else by_warps
    return card.sms * min(by_regs, by_warps, by_shared, card.max_blocks)


def batch_seconds(n, resident, card, efficiency, latency, chain):
    """Whole waves run at the DRAM's efficiency; a last, partial wave of k
    hashes runs no faster than its 2k warps can keep bytes in flight (1 KiB
    per warp per block, Little's law), and no faster than one lane's 8,192
    blocks one after the other (latency + compute chain per block)."""
    full, tail = divmod(n, resident)
    wave = resident * BYTES_PER_HASH / (card.bandwidth * efficiency)
    t = full * wave
    if tail:
        in_flight_rate = 2 * tail * 1024 / latency
        rate = min(card.bandwidth * efficiency, in_flight_rate)
        t += max(tail * BYTES_PER_HASH / rate, 8192 * (latency + chain))
    return t


def tuner_sizes(cap, start=128, factor=1.15, upper=2048):
    sizes, b = [start], start
    upper = min(upper, cap)
    while True:
        nb = math.ceil(b * factor)
        nb = upper if nb >= upper else nb
        if nb == b:
            return sizes
        sizes.append(nb)
        if nb >= upper:
            return sizes
        b = nb


def waves(args):
    print(f"kernel: {args.registers} registers, {args.shared} B shared per hash; DRAM efficiency "
          f"{args.efficiency:.2f}, latency {args.latency * 1e9:.0f} ns, compute chain {args.chain * 1e9:.0f} ns per block")
    for card in CARDS:
        resident = resident_hashes(card, args.registers, args.shared)
        cap = max(8, int((card.gb * 1e9 - 0.6e9) * 0.85 / MIB16))
        sizes = tuner_sizes(cap)
        rates = {n: n / batch_seconds(n, resident, card, args.efficiency, args.latency, args.chain) for n in sizes}
        # The tuner's rule: grow while the gain reaches 2 %, keep the last
        # size measured even when it was slower, never step back.
        chosen, r = sizes[0], rates[sizes[0]]
        for nb in sizes[1:]:
            r2 = rates[nb]
            chosen = nb
            if (r2 - r) / r < 0.02:
                break
            r = r2
        best = max(rates, key=rates.get)
        ceiling = card.bandwidth * args.efficiency / BYTES_PER_HASH
        print(f"\n{card.name}: {resident} hashes resident, memory cap {cap}, ceiling {ceiling:,.0f} H/s")
        print("   batch  waves      H/s   of ceiling")
        for n in sizes:
            mark = " <- tuner keeps" if n == chosen else (" <- best" if n == best else "")
            print(f"  {n:6d}  {n / resident:5.2f}  {rates[n]:8,.0f}  {rates[n] / ceiling:7.1%}{mark}")
        just_past = resident + max(1, resident // 20)
        r_past = just_past / batch_seconds(just_past, resident, card, args.efficiency, args.latency, args.chain)
        print(f"  a batch of {just_past} (5 % past one wave): {r_past:,.0f} H/s, {r_past / ceiling - 1:+.1%} "
              f"against the ceiling; the tuner keeps {chosen} at {rates[chosen] / rates[best] - 1:+.1%} against "
              f"the best size it measured ({best})")


def channel_of(addr, channels, hashed):
    h = addr >> 8  # 256-byte interleave
    if hashed:
        h ^= (h >> 7) ^ (h >> 13) ^ (h >> 19) ^ (h >> 23)
    return h % channels


def mix(a, b):
    """A fixed pseudo-random function: the reference of block b of text a."""
    x = (a * 0x9E3779B1 + b * 0x85EBCA77 + 0x27D4EB2F) & 0xFFFFFFFF
    x ^= x >> 15
    x = (x * 0x2C1B3C6D) & 0xFFFFFFFF
    x ^= x >> 12
    return x


def channels(args):
    """Per step, every warp reads one 1 KiB reference and writes one 1 KiB
    block (four 256-byte chunks each). The DRAM works through queues, so what
    counts is the load over a window of steps: balance = mean channel load /
    busiest channel's load over each window (100 % = all channels equally
    busy). Identical texts share one reference sequence; in lockstep every
    hash is at the same block, drifted ones up to 64 blocks apart."""
    lane_blocks, hashes, steps, c, window = 8192, args.hashes, args.steps, args.channels, args.window
    print(f"{hashes} hashes, {c} channels, 256-byte interleave, windows of {window} steps, "
          f"{steps} steps in the data-dependent half")
    print("  channel map   texts      timing     offset       balance")
    rng = random.Random(7)
    for hashed in (False, True):
        for texts in ("identical", "distinct"):
            for drift in (0, 64):
                start = [rng.randrange(drift + 1) for _ in range(hashes)]
                for offset in (0, 256, 1024):
                    total, load = [], [0] * c
                    for step in range(steps):
                        for h in range(hashes):
                            pos = 4096 + (step + start[h]) % 4096
                            ref = mix(0 if texts == "identical" else h + 1, pos) % (pos - 1)
                            base = (h >> 1) * MIB16 + (h & 1) * (MIB16 // 2) + offset * (h >> 1)
                            for block in (ref, pos):
                                for chunk in range(4):
                                    load[channel_of(base + block * 1024 + chunk * 256, c, hashed)] += 1
                        if (step + 1) % window == 0:
                            total.append((sum(load) / c) / max(load))
                            load = [0] * c
                    print(f"  {'hashed' if hashed else 'linear':12}  {texts:9}  "
                          f"{'lockstep' if drift == 0 else 'drifted':9}  {(str(offset) + ' B/hash') if offset else 'none':11}  "
                          f"{sum(total) / len(total):7.1%}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=["waves", "channels"])
    p.add_argument("--registers", type=int, default=64)
    p.add_argument("--shared", type=int, default=2048, help="shared memory bytes per hash")
    p.add_argument("--efficiency", type=float, default=0.87, help="DRAM efficiency of a full card")
    p.add_argument("--latency", type=float, default=700e-9, help="loaded DRAM latency per block")
    p.add_argument("--chain", type=float, default=450e-9, help="one warp's compute per block")
    p.add_argument("--hashes", type=int, default=256)
    p.add_argument("--steps", type=int, default=256)
    p.add_argument("--channels", type=int, default=24)
    p.add_argument("--window", type=int, default=16, help="steps a channel's queue smooths over")
    args = p.parse_args()
    waves(args) if args.what == "waves" else channels(args)


if __name__ == "__main__":
    main()
