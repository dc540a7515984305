// The memory fill in OpenCL C, built by the driver at run time. Its
// structure mirrors kernel/fill_warp.h, the CUDA kernel's body, function for
// function: a group of 32 work-items is one Argon2 lane of one hash, each
// work-item holding 4 words of the block in registers; the block changes
// layout through the group's 128-word scratch block in local memory; the
// next reference block is loaded as soon as its index is known.
//
// A work-group is one hash: local size (32, lanes). In the data-independent
// and data-dependent loops every work-item takes every branch alike, so the
// work-group barriers below are reached by all of them the same number of
// times.
//
// ARGON2_SHUFFLE chooses how a value moves between the group's work-items
// outside the relayouts: 0 through local memory (any device), 1 the AMD
// cross-lane permute (amdgcn; the data-dependent loop's last relayout too),
// 2 cl_khr_subgroup_shuffle (the host checks that sub-groups come in whole
// groups of 32; with ARGON2_SUB_GROUP_32 the kernel asks for sub-groups of
// 32 through cl_intel_required_subgroup_size).
//
// ARGON2_EXCHANGE_RULE, for tests: paths 1 and 2 with their cross-lane
// primitive replaced by a stand-in through local memory that follows one
// device's rule, so that any device (PoCL's among them) runs them:
//   1 GCN wave64: ds_bpermute reads the lane that address bits 7:2 name
//   2 RDNA wave32: bits 6:2
//   3 RDNA wave64: bits 6:2, inside the reader's own half of 32 lanes
//   4, 5, 6: sub-groups of 16, 32, 64 (work-items in order of their
//      flattened local id), sub_group_shuffle inside the sub-group
//   7 a wrong rule, the tests' control: wave64 with bits 6:2 only

typedef ulong u64;
typedef uint u32;

#ifndef ARGON2_SHUFFLE
#define ARGON2_SHUFFLE 0
#endif
#if ARGON2_SHUFFLE == 2 && !defined(ARGON2_EXCHANGE_RULE)
#pragma OPENCL EXTENSION cl_khr_subgroups : enable
#pragma OPENCL EXTENSION cl_khr_subgroup_shuffle : enable
#endif

#define TYPE_I 1u
#define TYPE_ID 2u
#define VERSION_10 0x10u

// ---- block_layout.h ------------------------------------------------------

static inline u32 rowWord(u32 lane, u32 m) { return 16u * (lane >> 2) + 4u * m + (lane & 3u); }

static inline u32 columnWord(u32 lane, u32 m) {
    const u32 i = lane & 3u, j = lane >> 2;
    return 16u * (2u * m + (i >> 1)) + 2u * j + (i & 1u);
}

static inline u32 storedPosition(u32 word) { return 32u * ((word >> 2) & 3u) + 4u * (word >> 4) + (word & 3u); }

static inline u32 scratchPosition(u32 w) {
    const u32 r = w >> 4;
    const u32 g = ((r & 1u) << 1) | ((r >> 1) & 1u);
    return (w & ~15u) | ((w & 15u) ^ (g << 2));
}

// ---- common/index.h ------------------------------------------------------

typedef struct {
    u32 lanes, segmentBlocks, laneBlocks, passes;
    u64 laneM;  // ceil(2^64 / lanes): the lane remainder by multiplications
} Geometry;

static inline bool dataIndependent(u32 type, u32 pass, u32 slice) {
    return type == TYPE_I || (type == TYPE_ID && pass == 0 && slice < 2);
}

static inline u32 referenceIndex(const Geometry* g, u32 pass, u32 slice, u32 index, u32 pseudoRand, bool sameLane) {
    u32 areaSize;
    if (pass == 0) {
        if (slice == 0) areaSize = index - 1;
        else if (sameLane) areaSize = slice * g->segmentBlocks + index - 1;
        else areaSize = slice * g->segmentBlocks - (index == 0 ? 1u : 0u);
    } else {
        if (sameLane) areaSize = g->laneBlocks - g->segmentBlocks + index - 1;
        else areaSize = g->laneBlocks - g->segmentBlocks - (index == 0 ? 1u : 0u);
    }
    u64 rel = pseudoRand;
    rel = (rel * rel) >> 32;
    rel = areaSize - 1 - ((u64)areaSize * rel >> 32);
    const u32 start = (pass != 0 && slice != 3) ? (slice + 1) * g->segmentBlocks : 0u;
    const u32 at = start + (u32)rel;
    return at >= g->laneBlocks ? at - g->laneBlocks : at;
}

static inline u32 laneRemainder(u32 x, const Geometry* g) {
    const u64 low = g->laneM * x;
    const u64 a = (low & 0xffffffffu) * g->lanes;
    const u64 b = (low >> 32) * g->lanes + (a >> 32);
    return (u32)(b >> 32);
}

// ---- warp.h: the group of 32 ---------------------------------------------

typedef struct {
    __local u64* scratch;  // the group's 128 words
    u32 t;                 // 0..31
    u32 base;              // shuffle variants: the group's first lane in its wavefront or sub-group
    u32 row[4], column[4];
#ifdef ARGON2_EXCHANGE_RULE
    __local u64* all;  // the work-group's scratch: for the stand-ins, a word per work-item and exchange
    u32 flat;          // the flattened local id
    u32 items;         // the work-group's size
#endif
} Group;

#ifdef ARGON2_EXCHANGE_RULE
#if ARGON2_EXCHANGE_RULE == 1 || ARGON2_EXCHANGE_RULE == 3 || ARGON2_EXCHANGE_RULE == 7
#define EXCHANGE_WIDTH 64u
#elif ARGON2_EXCHANGE_RULE == 2
#define EXCHANGE_WIDTH 32u
#else
#define EXCHANGE_WIDTH (8u << (ARGON2_EXCHANGE_RULE - 3))  // sub-groups of 16, 32, 64
#endif

// The flattened local id of the work-item whose value an exchange addressed
// to `index` reads under the rule: for the permute, index = address / 4.
static inline u32 ruleSource(const Group* w, u32 index) {
    const u32 first = w->flat - w->flat % EXCHANGE_WIDTH;
#if ARGON2_EXCHANGE_RULE == 1
    return first + (index & 63u);
#elif ARGON2_EXCHANGE_RULE == 3
    return first + ((w->flat & 32u) | (index & 31u));
#elif ARGON2_EXCHANGE_RULE == 2 || ARGON2_EXCHANGE_RULE == 7
    return first + (index & 31u);
#else
    return first + index % EXCHANGE_WIDTH;
#endif
}

// sub_group_shuffle names a work-item of the caller's sub-group; an index
// past it is undefined (one device wraps it, another reads another
// sub-group's value or nothing). The stand-in gives poison there, so that a
// kernel relying on any of these hashes wrong. The permutes' rules say what
// the hardware does with every address bit: they have no such index.
#if ARGON2_EXCHANGE_RULE >= 4 && ARGON2_EXCHANGE_RULE <= 6
#define OUTSIDE_SUB_GROUP(index) ((index) >= EXCHANGE_WIDTH)
#else
#define OUTSIDE_SUB_GROUP(index) false
#endif
static inline u64 ruleRead(const Group* w, __local const u64* from, u32 index) {
    return OUTSIDE_SUB_GROUP(index) ? 0xdbdbdbdbdbdbdbdbUL : from[ruleSource(w, index)];
}

// Every work-item of the work-group offers `v` and gets the value its
// `index` names. The stand-ins are called where the real primitives are,
// which every work-item of the work-group reaches alike.
static inline u64 exchangeStandIn(const Group* w, u64 v, u32 index) {
    w->all[w->flat] = v;
    barrier(CLK_LOCAL_MEM_FENCE);
    const u64 r = ruleRead(w, w->all, index);
    barrier(CLK_LOCAL_MEM_FENCE);
    return r;
}

static inline int bpermuteStandIn(const Group* w, int address, int v) {
    return (int)(u32)exchangeStandIn(w, (u32)v, (u32)address >> 2);
}
#define __builtin_amdgcn_ds_bpermute(address, v) bpermuteStandIn(w, address, v)
#define sub_group_shuffle(v, src) exchangeStandIn(w, v, src)
#define get_sub_group_local_id() (w.flat % EXCHANGE_WIDTH)  // in the kernel, where `w` is the Group
#endif

static inline u64 shfl(const Group* w, u64 v, u32 src) {
#if ARGON2_SHUFFLE == 1
    const int at = (int)((w->base | src) << 2);
    const u32 lo = (u32)__builtin_amdgcn_ds_bpermute(at, (int)(u32)v);
    const u32 hi = (u32)__builtin_amdgcn_ds_bpermute(at, (int)(u32)(v >> 32));
    return upsample(hi, lo);
#elif ARGON2_SHUFFLE == 2
    return sub_group_shuffle(v, w->base | src);
#else
    // Between relayouts the scratch block is free.
    w->scratch[w->t] = v;
    barrier(CLK_LOCAL_MEM_FENCE);
    const u64 r = w->scratch[src];
    barrier(CLK_LOCAL_MEM_FENCE);
    return r;
#endif
}

// ---- fill_warp.h ---------------------------------------------------------

static inline u64 blaMka(u64 a, u64 b) {
    const u64 m = (u64)(u32)a * (u32)b;
    return a + b + (m + m);
}

#define G(a, b, c, d)                 \
    do {                              \
        a = blaMka(a, b);             \
        d = rotate(d ^ a, (u64)32);   \
        c = blaMka(c, d);             \
        b = rotate(b ^ c, (u64)40);   \
        a = blaMka(a, b);             \
        d = rotate(d ^ a, (u64)48);   \
        c = blaMka(c, d);             \
        b = rotate(b ^ c, (u64)1);    \
    } while (0)

static inline u32 inGroup(const Group* w, u32 k) { return (w->t & 28u) | ((w->t + k) & 3u); }

// x[1..3] = the values lanes (t + k1), (t + 2), (t + k3) of this lane's group
// of four hold. Through local memory the three go in one exchange (two
// barriers rather than six).
static inline void rotateGroup(const Group* w, u64* x, u32 k1, u32 k3) {
#if ARGON2_SHUFFLE != 0 && defined(ARGON2_EXCHANGE_RULE)
    // The three exchanges below in one, as the rule routes each (fewer
    // barriers: PoCL's compile time grows with them).
    const u32 n = w->items;
    w->all[w->flat] = x[1];
    w->all[n + w->flat] = x[2];
    w->all[2 * n + w->flat] = x[3];
    barrier(CLK_LOCAL_MEM_FENCE);
    x[1] = ruleRead(w, w->all, w->base | inGroup(w, k1));
    x[2] = ruleRead(w, w->all + n, w->base | inGroup(w, 2));
    x[3] = ruleRead(w, w->all + 2 * n, w->base | inGroup(w, k3));
    barrier(CLK_LOCAL_MEM_FENCE);
#elif ARGON2_SHUFFLE == 0
    w->scratch[w->t] = x[1];
    w->scratch[32 + w->t] = x[2];
    w->scratch[64 + w->t] = x[3];
    barrier(CLK_LOCAL_MEM_FENCE);
    x[1] = w->scratch[inGroup(w, k1)];
    x[2] = w->scratch[32 + inGroup(w, 2)];
    x[3] = w->scratch[64 + inGroup(w, k3)];
    barrier(CLK_LOCAL_MEM_FENCE);
#else
    x[1] = shfl(w, x[1], inGroup(w, k1));
    x[2] = shfl(w, x[2], inGroup(w, 2));
    x[3] = shfl(w, x[3], inGroup(w, k3));
#endif
}

static inline void permute(const Group* w, u64* x) {
    G(x[0], x[1], x[2], x[3]);
    rotateGroup(w, x, 1, 3);
    G(x[0], x[1], x[2], x[3]);
    rotateGroup(w, x, 3, 1);
}

static inline void relayout(const Group* w, u64* x, const u32* from, const u32* to) {
    for (int m = 0; m < 4; ++m) w->scratch[from[m]] = x[m];
    barrier(CLK_LOCAL_MEM_FENCE);
    for (int m = 0; m < 4; ++m) x[m] = w->scratch[to[m]];
    barrier(CLK_LOCAL_MEM_FENCE);  // before the next write over what was read
}

// x[i] = x[(i + r) mod 4] for a lane-dependent r: two conditional rotations
// (selects; a chain of comparisons per word became branches).
static inline void rotateSlots(u64* x, u32 r) {
    const bool one = (r & 1u) != 0, two = (r & 2u) != 0;
    const u64 a = one ? x[1] : x[0], b = one ? x[2] : x[1], c = one ? x[3] : x[2], d = one ? x[0] : x[3];
    x[0] = two ? c : a;
    x[1] = two ? d : b;
    x[2] = two ? a : c;
    x[3] = two ? b : d;
}

// The column-to-row relayout by cross-lane exchange, without a barrier. Lane
// t's word m in rows is held by lane 8m + 4((t>>1)&1) + 2((t>>2)&1) + (t&1)
// as its word t>>3 in columns: in round k every lane sends its word
// (k + its t>>3) mod 4, so each receives one of its four words a round.
static inline void columnsToRowsByExchange(const Group* w, u64* x) {
    const u32 t = w->t, q = t >> 3;
    rotateSlots(x, q);
    for (u32 k = 0; k < 4; ++k) {
        const u32 m = (q - k) & 3u;
        x[k] = shfl(w, x[k], 8u * m + 4u * ((t >> 1) & 1u) + 2u * ((t >> 2) & 1u) + (t & 1u));
    }
    // Round k brought word (q - k) mod 4: reversed (renaming only), the
    // order is a rotation.
    const u64 third = x[3];
    x[3] = x[1];
    x[1] = third;
    rotateSlots(x, (4u - q) & 3u);
}

static inline void permuteBlock(const Group* w, u64* x) {
    permute(w, x);
    relayout(w, x, w->row, w->column);
    permute(w, x);
    relayout(w, x, w->column, w->row);
}

static inline void loadBlock(const Group* w, u64* x, __global const u64* block) {
    for (int m = 0; m < 4; ++m) x[m] = block[32 * m + w->t];
}

// Lane 0's value, held by every work-item.
static inline u64 first(const Group* w, u64 v) { return shfl(w, v, 0); }

// Word `i` of a block held in registers, held by every work-item.
static inline u64 word(const Group* w, const u64* x, u32 i) {
    const u32 pos = storedPosition(i), m = pos >> 5;
    const u64 inSlot = m == 0 ? x[0] : m == 1 ? x[1] : m == 2 ? x[2] : x[3];
    return shfl(w, inSlot, pos & 31u);
}

typedef struct {
    Geometry g;
    u32 pass, lane, slice;
} Segment;

static inline u32 reference(const Segment* s, u32 i, u64 pseudoRand) {
    const u32 refLane = (s->pass == 0 && s->slice == 0) ? s->lane : laneRemainder((u32)(pseudoRand >> 32), &s->g);
    return refLane * s->g.laneBlocks +
           referenceIndex(&s->g, s->pass, s->slice, i, (u32)pseudoRand, refLane == s->lane);
}

// next = G(state, ref) (XOR next when `withXor`); state = next. With
// `loadNext`, word 0 of the new block (final in lane 0 before the last
// relayout) names the reference of block `nextIndex`, loaded into `ref`
// while the rest completes.
static inline void compress(const Group* w, u64* state, u64* ref, __global u64* next, bool withXor, bool loadNext,
                     __global const u64* memory, const Segment* s, u32 nextIndex) {
    u64 r[4], keep[4];
    for (int m = 0; m < 4; ++m) {
        r[m] = state[m] ^ ref[m];
        keep[m] = withXor ? r[m] ^ next[32 * m + w->t] : r[m];
    }
    permute(w, r);
    relayout(w, r, w->row, w->column);
    permute(w, r);
    if (loadNext) {
        loadBlock(w, ref, memory + (size_t)reference(s, nextIndex, first(w, r[0] ^ keep[0])) * 128);
#if ARGON2_SHUFFLE == 1
        // AMD's compiler makes every work-group barrier wait for all pending
        // global loads first (GCN and RDNA alike): a barrier here would wait
        // for the load just issued. Without one it stays in flight until
        // the next block uses it. Unfenced, the compiler would sink the
        // load past the exchange; older compilers lack the fence.
#if __has_builtin(__builtin_amdgcn_sched_barrier)
        __builtin_amdgcn_sched_barrier(0);
#endif
        columnsToRowsByExchange(w, r);
#else
        relayout(w, r, w->column, w->row);
#endif
    } else {
        relayout(w, r, w->column, w->row);
    }
    for (int m = 0; m < 4; ++m) {
        state[m] = r[m] ^ keep[m];
        next[32 * m + w->t] = state[m];
    }
}

// `withXor` is a constant at each call: the compiler would otherwise load
// the block being overwritten on every pass, XOR or not (the store that
// follows makes the load safe to do unasked), a sixth more memory traffic.
static inline void fillSegment(const Group* w, __global u64* memory, const Segment* s, u32 type, bool withXor,
                        bool precomputed, __global const u32* refs) {
    const Geometry* g = &s->g;
    const u32 pass = s->pass, slice = s->slice;
    const u32 start = (pass == 0 && slice == 0) ? 2u : 0u;
    const bool independent = dataIndependent(type, pass, slice);
    const u32 laneStart = s->lane * g->laneBlocks;
    u32 curr = laneStart + slice * g->segmentBlocks + start;
    const u32 prev = (curr == laneStart) ? laneStart + g->laneBlocks - 1 : curr - 1;

    u64 state[4], ref[4];
    loadBlock(w, state, memory + (size_t)prev * 128);

    if (independent && precomputed) {
        if (start >= g->segmentBlocks) return;
        const u32 last = g->segmentBlocks - 1;
        u64 following[4];
        loadBlock(w, following, memory + (size_t)refs[start] * 128);
        u32 afterThat = refs[min(start + 1, last)];
        for (u32 i = start; i < g->segmentBlocks; ++i, ++curr) {
            for (int m = 0; m < 4; ++m) ref[m] = following[m];
            loadBlock(w, following, memory + (size_t)afterThat * 128);
            afterThat = refs[min(i + 2, last)];
            compress(w, state, ref, memory + (size_t)curr * 128, withXor, false, memory, s, 0);
        }
    } else if (independent) {
        u64 addresses[4];
        u64 counter = 0;
        for (u32 i = start; i < g->segmentBlocks;) {
            ++counter;
            const u32 t = w->t;
            // Words 0-3 in lanes 0-3 of slot 0, words 4-6 in lanes 0-2 of slot 1.
            const u64 input[7] = {pass, s->lane, slice, (u64)g->laneBlocks * g->lanes, g->passes, type, counter};
            addresses[0] = t < 4 ? input[t] : 0;
            addresses[1] = t < 3 ? input[4 + t] : 0;
            addresses[2] = 0;
            addresses[3] = 0;
            for (int round = 0; round < 2; ++round) {
                u64 keep[4] = {addresses[0], addresses[1], addresses[2], addresses[3]};
                permuteBlock(w, addresses);
                for (int m = 0; m < 4; ++m) addresses[m] ^= keep[m];
            }
            const u32 end = min((i / 128 + 1) * 128, g->segmentBlocks);
            for (; i < end; ++i, ++curr) {
                loadBlock(w, ref, memory + (size_t)reference(s, i, word(w, addresses, i % 128)) * 128);
                compress(w, state, ref, memory + (size_t)curr * 128, withXor, false, memory, s, 0);
            }
        }
    } else {
        loadBlock(w, ref, memory + (size_t)reference(s, start, first(w, state[0])) * 128);
        for (u32 i = start; i < g->segmentBlocks; ++i, ++curr)
            compress(w, state, ref, memory + (size_t)curr * 128, withXor, true, memory, s, i + 1);
    }
}

// One work-group per hash of the launch; `memory` holds the launch's hashes
// one after the other, lane after lane, blocks in stored layout. With
// `precomputed`, `refs` and `refOffsets` are the reference table and each
// segment's offset into it, indexed by (pass * 4 + slice) * lanes + lane.
#if ARGON2_SHUFFLE == 2 && defined(ARGON2_SUB_GROUP_32) && !defined(ARGON2_EXCHANGE_RULE)
__attribute__((intel_reqd_sub_group_size(32)))  // whole groups of 32 in one sub-group
#endif
__kernel void fill(__global u64* memory, u32 lanes, u32 segmentBlocks, u32 passes, u64 laneM, u32 type,
                   u32 version, u32 pass, u32 sliceBegin, u32 sliceEnd, u32 precomputed,
                   __global const u32* refs, __global const long* refOffsets, __local u64* scratch) {
    Group w;
    w.t = (u32)get_local_id(0);
    const u32 lane = (u32)get_local_id(1);
    w.scratch = scratch + lane * 128;
#ifdef ARGON2_EXCHANGE_RULE
    w.all = scratch;
    w.flat = w.t + 32u * lane;
    w.items = 32u * (u32)get_local_size(1);
#endif
#if ARGON2_SHUFFLE == 1
    w.base = (w.t + 32u * lane) & 32u;  // the group's half of a 64-wide wavefront (0 in wave32)
#elif ARGON2_SHUFFLE == 2
    w.base = get_sub_group_local_id() & ~31u;
#else
    w.base = 0;
#endif
    for (u32 m = 0; m < 4; ++m) {
        w.row[m] = scratchPosition(rowWord(w.t, m));
        w.column[m] = scratchPosition(columnWord(w.t, m));
    }
    Segment s;
    s.g.lanes = lanes;
    s.g.segmentBlocks = segmentBlocks;
    s.g.laneBlocks = segmentBlocks * 4;
    s.g.passes = passes;
    s.g.laneM = laneM;
    s.pass = pass;
    s.lane = lane;
    // The hash from the global id, which counts a launch's offset (a test
    // runs a batch's first and last groups alone).
    const size_t hash = get_global_id(0) / 32;
    __global u64* hashMemory = memory + hash * s.g.laneBlocks * lanes * 128;
    for (u32 slice = sliceBegin; slice < sliceEnd; ++slice) {
        s.slice = slice;
        const bool tabled = precomputed && dataIndependent(type, pass, slice);
        __global const u32* segmentRefs = tabled ? refs + refOffsets[(pass * 4 + slice) * lanes + lane] : refs;
        if (pass != 0 && version != VERSION_10)
            fillSegment(&w, hashMemory, &s, type, true, tabled, segmentRefs);
        else
            fillSegment(&w, hashMemory, &s, type, false, tabled, segmentRefs);
        // The other lanes' blocks of this slice before the next reads them.
        if (slice + 1 < sliceEnd) barrier(CLK_GLOBAL_MEM_FENCE);
    }
}
