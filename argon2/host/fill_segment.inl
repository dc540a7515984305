// The segment loop, instantiated once per block kernel. Included by each
// variant's translation unit inside an anonymous namespace, so that code
// compiled for one instruction set never stands in for another's.
//
// A kernel provides:
//   State                      the previous block, held in registers
//   load(State&, const Block&)
//   fill(State&, const Block& ref, Block& next, bool withXor, Hint hint)
//                              next = G(prev, ref) (XOR next); State = next;
//                              hint(word 0 of next) is called as soon as that
//                              word is final, so that the next reference
//                              block can be fetched while the rest computes
//
// Up to kMaxLockstep (fill.h) hashes at the same position are filled in lockstep: while
// one hash's reference block is on its way from memory, the others compute.

inline void prefetchBlock(const argon2::Block* b) {
    const char* p = reinterpret_cast<const char*>(b);
    for (int line = 0; line < 1024; line += 64) __builtin_prefetch(p + line);
}

template <class Kernel>
void addressBlock(const argon2::Block& input, argon2::Block& addresses) {
    const argon2::Block zero{};
    alignas(64) typename Kernel::State s;
    Kernel::load(s, zero);
    Kernel::fill(s, input, addresses, false, [](std::uint64_t) {});
    Kernel::load(s, zero);
    Kernel::fill(s, addresses, addresses, false, [](std::uint64_t) {});
}

template <class Kernel, int N>
void fillLockstep(const argon2::host::SegmentJob* jobs) {
    using namespace argon2;
    using namespace argon2::detail;
    const argon2::host::SegmentJob& job = jobs[0];  // all jobs share geometry and position
    const Geometry& g = job.geometry;
    const std::uint32_t start = (job.pass == 0 && job.slice == 0) ? 2 : 0;
    const bool independent = dataIndependent(job.type, job.pass, job.slice);
    const bool withXor = overwritesWithXor(job.version, job.pass);
    const std::uint32_t laneStart = job.lane * g.laneBlocks;
    const std::uint32_t first = laneStart + job.slice * g.segmentBlocks + start;
    const std::uint32_t prev = (first == laneStart) ? laneStart + g.laneBlocks - 1 : first - 1;
    const std::uint32_t* refs = independent ? job.refs : nullptr;

    alignas(64) typename Kernel::State state[N];
    std::uint32_t nextRef[N] = {};  // absolute index of each hash's next reference
    for (int h = 0; h < N; ++h) Kernel::load(state[h], jobs[h].memory[prev]);

    Block input{}, addresses{};  // data-independent numbers without a table
    if (independent && !refs) {
        for (std::uint32_t w = 0; w < kQwordsInBlock; ++w)
            input.v[w] = addressInputWord(g, job.type, job.pass, job.lane, job.slice, w);
    }
    auto referenceOf = [&](std::uint32_t i, std::uint64_t pseudoRand) -> std::uint32_t {
        const std::uint32_t lane = referenceLane(g, job.pass, job.slice, job.lane, pseudoRand);
        return lane * g.laneBlocks +
               referenceIndex(g, job.pass, job.slice, i, static_cast<std::uint32_t>(pseudoRand), lane == job.lane);
    };
    auto independentRef = [&](std::uint32_t i) -> std::uint32_t {
        if (refs) return refs[i];
        if (i == start || i % kQwordsInBlock == 0) {
            ++input.v[6];
            addressBlock<Kernel>(input, addresses);
        }
        return referenceOf(i, addresses.v[i % kQwordsInBlock]);
    };

    if (!independent) {
        for (int h = 0; h < N; ++h) nextRef[h] = referenceOf(start, jobs[h].memory[prev].v[0]);
    }
    std::uint32_t curr = first;
    for (std::uint32_t i = start; i < g.segmentBlocks; ++i, ++curr) {
        if (independent) {
            const std::uint32_t r = independentRef(i);
            for (int h = 0; h < N; ++h) nextRef[h] = r;
            if (refs && i + 1 < g.segmentBlocks)
                for (int h = 0; h < N; ++h) prefetchBlock(&jobs[h].memory[refs[i + 1]]);
        }
        for (int h = 0; h < N; ++h) {
            Block* mem = jobs[h].memory;
            std::uint32_t& following = nextRef[h];
            Kernel::fill(state[h], mem[following], mem[curr], withXor, [&](std::uint64_t word0) {
                // In a data-dependent segment the next reference follows from
                // this word alone: start loading it now.
                if (independent || i + 1 >= g.segmentBlocks) return;
                following = referenceOf(i + 1, word0);
                prefetchBlock(&mem[following]);
            });
        }
    }
}

// Runs fillLockstep with as many hashes as `count` says (1 to kMaxLockstep).
template <class Kernel>
void fillSegments(const argon2::host::SegmentJob* jobs, int count) {
    switch (count) {
        case 4: return fillLockstep<Kernel, 4>(jobs);
        case 3: return fillLockstep<Kernel, 3>(jobs);
        case 2: return fillLockstep<Kernel, 2>(jobs);
        default: return fillLockstep<Kernel, 1>(jobs);
    }
}
