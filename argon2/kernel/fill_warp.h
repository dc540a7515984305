// The memory fill as one warp computes it: the compression of a block by 32
// lanes holding 4 words each, and the filling of one segment of one lane of
// one hash. Written once over a warp model (warp.h): compiled for the device
// it is the kernel's body; compiled for the host it is its test double.
#pragma once

#include "block_layout.h"
#include "warp.h"

namespace argon2::kernel {

template <class W>
struct FillWarp {
    using U64 = typename W::U64;
    using U32 = typename W::U32;

    static ARGON2GPU_WARP U64 blaMka(const U64& a, const U64& b) {
        const U64 m = W::mulLo(a, b);
        return a + b + (m + m);
    }

    static ARGON2GPU_WARP void g(U64& a, U64& b, U64& c, U64& d) {
        a = blaMka(a, b);
        d = W::rotr(d ^ a, 32);
        c = blaMka(c, d);
        b = W::rotr(b ^ c, 24);
        a = blaMka(a, b);
        d = W::rotr(d ^ a, 16);
        c = blaMka(c, d);
        b = W::rotr(b ^ c, 63);
    }

    // The value lane (lane + k) % 4 of this lane's group of four holds.
    static ARGON2GPU_WARP U64 fromGroup(const U64& v, std::uint32_t k) {
        return W::shfl(v, W::mapLane32([k](std::uint32_t l) { return (l & 28u) | ((l + k) & 3u); }));
    }

    // P on the 4x4 matrices of the warp, one matrix column (a, b, c, d) per
    // lane, four lanes a matrix: columns, then diagonals.
    static ARGON2GPU_WARP void permute(U64 (&x)[4]) {
        g(x[0], x[1], x[2], x[3]);
        x[1] = fromGroup(x[1], 1);
        x[2] = fromGroup(x[2], 2);
        x[3] = fromGroup(x[3], 3);
        g(x[0], x[1], x[2], x[3]);
        x[1] = fromGroup(x[1], 3);
        x[2] = fromGroup(x[2], 2);
        x[3] = fromGroup(x[3], 1);
    }

    static ARGON2GPU_WARP U64 slot(const U64 (&x)[4], const U32& which) {
        return W::select(which == 0u, x[0], W::select(which == 1u, x[1], W::select(which == 2u, x[2], x[3])));
    }

    // The warp's scratch block and where each of this lane's slots lies in it
    // in either layout (see block_layout.h): fixed for the whole segment.
    struct Exchange {
        std::uint64_t* scratch;
        U32 row[4], column[4];
    };

    static ARGON2GPU_WARP Exchange exchange(std::uint64_t* scratch) {
        Exchange e;
        e.scratch = scratch;
        for (std::uint32_t m = 0; m < 4; ++m) {
            e.row[m] = W::mapLane32([m](std::uint32_t l) { return scratchPosition(rowWord(l, m)); });
            e.column[m] = W::mapLane32([m](std::uint32_t l) { return scratchPosition(columnWord(l, m)); });
        }
        return e;
    }

    // One layout to the other through the scratch block: every lane writes
    // its four words and reads the four it holds in the other layout. Shuffles
    // would need a select per slot and lane, since which slot a lane sends and
    // which it fills both depend on the lane.
    //
    // No sync after the reads: relayouts alternate (rows to columns, then
    // back), so the next one's writes go to exactly the words this lane has
    // just read, and the lanes' sets of words are disjoint. Nothing another
    // lane reads is overwritten before the sync in the middle of the next
    // relayout.
    static ARGON2GPU_WARP void relayout(U64 (&x)[4], std::uint64_t* scratch, const U32 (&from)[4],
                                        const U32 (&to)[4]) {
        for (int m = 0; m < 4; ++m) W::scatter(scratch, from[m], x[m]);
        W::syncScratch();
        for (int m = 0; m < 4; ++m) x[m] = W::gather(scratch, to[m]);
    }

    // x = P(x) over rows and columns.
    static ARGON2GPU_WARP void permuteBlock(U64 (&x)[4], const Exchange& e) {
        permute(x);
        relayout(x, e.scratch, e.row, e.column);
        permute(x);
        relayout(x, e.scratch, e.column, e.row);
    }

    static ARGON2GPU_WARP void loadBlock(U64 (&x)[4], const std::uint64_t* block) {
        for (int m = 0; m < 4; ++m) x[m] = W::load(block + 32 * m);
    }

    // next = G(state, ref) (XOR next when `withXor`); state = next. Word 0 of
    // the new block is final in lane 0 before the columns go back to rows
    // (it sits in lane 0, slot 0 of both layouts): `word0` gets it there, so
    // that the next reference can be loaded while the rest completes.
    template <class Word0>
    static ARGON2GPU_WARP void compress(U64 (&state)[4], const U64 (&ref)[4], std::uint64_t* next, bool withXor,
                                        const Exchange& e, Word0 word0) {
        U64 r[4], keep[4];
        for (int m = 0; m < 4; ++m) {
            r[m] = state[m] ^ ref[m];
            keep[m] = withXor ? r[m] ^ W::load(next + 32 * m) : r[m];
        }
        permute(r);
        relayout(r, e.scratch, e.row, e.column);
        permute(r);
        word0(r[0] ^ keep[0]);
        relayout(r, e.scratch, e.column, e.row);
        for (int m = 0; m < 4; ++m) {
            state[m] = r[m] ^ keep[m];
            W::store(next + 32 * m, state[m]);
        }
    }

    // Word `w` of a block held in registers, as a value every lane holds.
    static ARGON2GPU_WARP std::uint64_t word(const U64 (&x)[4], std::uint32_t w) {
        const std::uint32_t pos = storedPosition(w);
        const U64 inSlot = slot(x, W::mapLane32([pos](std::uint32_t) { return pos >> 5; }));
        return W::uniform(W::shfl(inSlot, W::mapLane32([pos](std::uint32_t) { return pos & 31u; })));
    }

    // Lane 0's value, held by every lane.
    static ARGON2GPU_WARP std::uint64_t first(const U64& v) {
        return W::uniform(W::shfl(v, W::mapLane32([](std::uint32_t) { return 0u; })));
    }

    struct Segment {
        const detail::Geometry& g;
        std::uint32_t pass, lane, slice;
        detail::LaneModulus lanes;

        // Absolute index of the block that block `i` of the segment refers to.
        ARGON2GPU_WARP std::uint32_t reference(std::uint32_t i, std::uint64_t pseudoRand) const {
            const std::uint32_t refLane = detail::referenceLane(pass, slice, lane, pseudoRand, lanes);
            return refLane * g.laneBlocks +
                   detail::referenceIndex(g, pass, slice, i, std::uint32_t(pseudoRand), refLane == lane);
        }
    };

    // Fills one segment: `memory` is the hash's blocks (stored layout, lane
    // after lane); `scratch` the warp's 128-word scratch block; `lanes` is
    // laneModulus(g.lanes), made once by the caller (its 64-bit division
    // would be a subroutine call on the device). With
    // `precomputed`, a data-independent segment takes its references from
    // `refs` (absolute block indices, the segment's own table) instead of
    // generating address blocks. Each kind of segment has its own loop, so
    // that no loop carries another's work; every branch in them is the same
    // for the whole warp.
    static ARGON2GPU_WARP void fillSegment(std::uint64_t* memory, const detail::Geometry& g, Type type, Version version,
                                           std::uint32_t pass, std::uint32_t lane, std::uint32_t slice,
                                           const detail::LaneModulus& lanes, bool precomputed,
                                           const std::uint32_t* refs, std::uint64_t* scratch) {
        const std::uint32_t start = (pass == 0 && slice == 0) ? 2 : 0;
        const bool independent = detail::dataIndependent(type, pass, slice);
        const bool withXor = detail::overwritesWithXor(version, pass);
        const std::uint32_t laneStart = lane * g.laneBlocks;
        std::uint32_t curr = laneStart + slice * g.segmentBlocks + start;
        const std::uint32_t prev = (curr == laneStart) ? laneStart + g.laneBlocks - 1 : curr - 1;
        const Segment seg{g, pass, lane, slice, lanes};
        const Exchange e = exchange(scratch);
        const auto ignore = [](const U64&) {};

        U64 state[4], ref[4];
        loadBlock(state, memory + std::size_t(prev) * 128);

        if (independent && precomputed) {
            if (start >= g.segmentBlocks) return;  // a 2-block first segment: nothing to fill
            // The reference block one ahead, and its index one further. At
            // the segment's end the last one is loaded again rather than
            // branched around: a branch in the loop costs more than 1 KiB in
            // 2,048 blocks.
            const std::uint32_t last = g.segmentBlocks - 1;
            const auto clamp = [last](std::uint32_t i) { return i < last ? i : last; };
            U64 following[4];
            loadBlock(following, memory + std::size_t(W::read(refs + start)) * 128);
            std::uint32_t afterThat = W::read(refs + clamp(start + 1));
            for (std::uint32_t i = start; i < g.segmentBlocks; ++i, ++curr) {
                for (int m = 0; m < 4; ++m) ref[m] = following[m];
                loadBlock(following, memory + std::size_t(afterThat) * 128);
                afterThat = W::read(refs + clamp(i + 2));
                compress(state, ref, memory + std::size_t(curr) * 128, withXor, e, ignore);
            }
        } else if (independent) {
            // One address block per 128 blocks, made before the blocks that
            // use it, so that the inner loop has no branch.
            U64 addresses[4];
            std::uint64_t counter = 0;
            for (std::uint32_t i = start; i < g.segmentBlocks;) {
                ++counter;
                // The input block's words 0 to 6 lie in lanes 0-3 of slot 0
                // and lanes 0-2 of slot 1 (word 6, lane 2: the counter).
                addresses[0] = W::mapLane64([&](std::uint32_t l) -> std::uint64_t {
                    return l < 4 ? detail::addressInputWord(g, type, pass, lane, slice, l) : 0;
                });
                addresses[1] = W::mapLane64([&](std::uint32_t l) -> std::uint64_t {
                    return l < 2 ? detail::addressInputWord(g, type, pass, lane, slice, 4 + l) : l == 2 ? counter : 0;
                });
                addresses[2] = W::splat(0);
                addresses[3] = W::splat(0);
                for (int round = 0; round < 2; ++round) {  // G(0, G(0, input))
                    U64 keep[4] = {addresses[0], addresses[1], addresses[2], addresses[3]};
                    permuteBlock(addresses, e);
                    for (int m = 0; m < 4; ++m) addresses[m] = addresses[m] ^ keep[m];
                }
                const std::uint32_t end = (i / 128 + 1) * 128 < g.segmentBlocks ? (i / 128 + 1) * 128 : g.segmentBlocks;
                for (; i < end; ++i, ++curr) {
                    loadBlock(ref, memory + std::size_t(seg.reference(i, word(addresses, i % 128))) * 128);
                    compress(state, ref, memory + std::size_t(curr) * 128, withXor, e, ignore);
                }
            }
        } else {
            // The next reference follows from word 0 of the block being made:
            // its load is issued as soon as that word is final. After the
            // segment's last block this loads a block it will not use (a valid
            // one: the index arithmetic holds one past the end) rather than
            // branch in the loop.
            loadBlock(ref, memory + std::size_t(seg.reference(start, first(state[0]))) * 128);
            for (std::uint32_t i = start; i < g.segmentBlocks; ++i, ++curr) {
                compress(state, ref, memory + std::size_t(curr) * 128, withXor, e, [&](const U64& word0) {
                    loadBlock(ref, memory + std::size_t(seg.reference(i + 1, first(word0))) * 128);
                });
            }
        }
    }
};

}  // namespace argon2::kernel
