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

    // Row layout <-> column layout (see block_layout.h). In the column layout
    // lane 4j + i holds column i of the matrix of the block's column pair j.
    // The exchange is its own inverse: four rounds, in round k each lane
    // sends slot ((lane >> 3) ^ k) and keeps what arrives in the same slot.
    static ARGON2GPU_WARP void transpose(U64 (&x)[4]) {
        U64 out[4] = {x[0], x[1], x[2], x[3]};
#if defined(__CUDACC__)
#pragma unroll
#endif
        for (std::uint32_t k = 0; k < 4; ++k) {
            const U32 mySlot = W::mapLane32([k](std::uint32_t l) { return ((l >> 3) ^ k) & 3u; });
            const U32 source = W::mapLane32([k](std::uint32_t l) {
                return (((l >> 3) ^ k) & 3u) << 3 | ((l >> 1) & 1u) << 2 | ((l >> 2) & 1u) << 1 | (l & 1u);
            });
            const U64 got = W::shfl(slot(x, mySlot), source);
            for (std::uint32_t j = 0; j < 4; ++j) out[j] = W::select(mySlot == j, got, out[j]);
        }
        for (int j = 0; j < 4; ++j) x[j] = out[j];
    }

    // x = P(x) over rows and columns.
    static ARGON2GPU_WARP void permuteBlock(U64 (&x)[4]) {
        permute(x);
        transpose(x);
        permute(x);
        transpose(x);
    }

    // next = G(state, ref) (XOR next when `withXor`); state = next.
    static ARGON2GPU_WARP void fillBlock(U64 (&state)[4], const std::uint64_t* ref, std::uint64_t* next,
                                         bool withXor) {
        U64 r[4], keep[4];
        for (int m = 0; m < 4; ++m) {
            r[m] = state[m] ^ W::load(ref + 32 * m);
            keep[m] = withXor ? r[m] ^ W::load(next + 32 * m) : r[m];
        }
        permuteBlock(r);
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

    // Fills one segment: `memory` is the hash's blocks (stored layout, lane
    // after lane); `refs` the segment's precomputed absolute references when
    // it is data-independent and they were computed, else null.
    static ARGON2GPU_WARP void fillSegment(std::uint64_t* memory, const detail::Geometry& g, int type, int version,
                                           std::uint32_t pass, std::uint32_t lane, std::uint32_t slice,
                                           const std::uint32_t* refs) {
        const std::uint32_t start = (pass == 0 && slice == 0) ? 2 : 0;
        const bool independent = detail::dataIndependent(type, pass, slice);
        const bool withXor = pass != 0 && version != 0x10;
        const std::uint32_t laneStart = lane * g.laneBlocks;
        std::uint32_t curr = laneStart + slice * g.segmentBlocks + start;
        const std::uint32_t prev = (curr == laneStart) ? laneStart + g.laneBlocks - 1 : curr - 1;

        U64 state[4];
        for (int m = 0; m < 4; ++m) state[m] = W::load(memory + std::size_t(prev) * 128 + 32 * m);

        U64 addresses[4];
        std::uint64_t counter = 0;
        const std::uint64_t totalBlocks = std::uint64_t(g.laneBlocks) * g.lanes;
        for (std::uint32_t i = start; i < g.segmentBlocks; ++i, ++curr) {
            std::uint32_t refAbs;
            if (independent && refs) {
                refAbs = refs[i];
            } else {
                std::uint64_t pseudoRand;
                if (independent) {
                    if (i == start || i % 128 == 0) {
                        ++counter;
                        // The input block: pass, lane, slice, blocks, passes,
                        // type, counter in words 0 to 6 (lanes 0-3 of slot 0,
                        // lanes 0-2 of slot 1).
                        addresses[0] = W::mapLane64([&](std::uint32_t l) -> std::uint64_t {
                            return l == 0 ? pass : l == 1 ? lane : l == 2 ? slice : l == 3 ? totalBlocks : 0;
                        });
                        addresses[1] = W::mapLane64([&](std::uint32_t l) -> std::uint64_t {
                            return l == 0 ? std::uint64_t(g.passes) : l == 1 ? std::uint64_t(type) : l == 2 ? counter : 0;
                        });
                        addresses[2] = W::splat(0);
                        addresses[3] = W::splat(0);
                        for (int round = 0; round < 2; ++round) {  // G(0, G(0, input))
                            U64 keep[4] = {addresses[0], addresses[1], addresses[2], addresses[3]};
                            permuteBlock(addresses);
                            for (int m = 0; m < 4; ++m) addresses[m] = addresses[m] ^ keep[m];
                        }
                    }
                    pseudoRand = word(addresses, i % 128);
                } else {
                    pseudoRand = W::uniform(W::shfl(state[0], W::mapLane32([](std::uint32_t) { return 0u; })));
                }
                const std::uint32_t refLane = detail::referenceLane(g, pass, slice, lane, pseudoRand);
                refAbs = refLane * g.laneBlocks +
                         detail::referenceIndex(g, pass, slice, i, std::uint32_t(pseudoRand), refLane == lane);
            }
            fillBlock(state, memory + std::size_t(refAbs) * 128, memory + std::size_t(curr) * 128, withXor);
        }
    }
};

}  // namespace argon2::kernel
