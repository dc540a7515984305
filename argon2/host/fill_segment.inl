// The segment loop, instantiated once per block kernel. Included by each
// variant's translation unit inside an anonymous namespace, so that code
// compiled for one instruction set never stands in for another's.
//
// A kernel provides:
//   State                      the previous block, held in registers
//   load(State&, const Block&)
//   firstWord(const State&)    word 0 of the previous block
//   fill(State&, const Block& ref, Block& next, bool withXor)
//                              next = G(prev, ref) (XOR next); State = next

template <class Kernel>
void fillSegmentWith(const argon2::host::SegmentJob& job) {
    using namespace argon2;
    using namespace argon2::detail;
    const Geometry& g = job.geometry;
    const std::uint32_t start = (job.pass == 0 && job.slice == 0) ? 2 : 0;
    const bool independent = dataIndependent(job.type, job.pass, job.slice);
    const bool withXor = job.pass != 0 && job.version != ARGON2_VERSION_10;
    const std::uint32_t laneStart = job.lane * g.laneBlocks;

    std::uint32_t curr = laneStart + job.slice * g.segmentBlocks + start;
    const std::uint32_t prev = (curr == laneStart) ? laneStart + g.laneBlocks - 1 : curr - 1;
    Block* mem = job.memory;

    alignas(64) typename Kernel::State state;
    Kernel::load(state, mem[prev]);

    if (independent && job.refs != nullptr) {
        const std::uint32_t* refs = job.refs;
        for (std::uint32_t i = start; i < g.segmentBlocks; ++i, ++curr) {
            if (i + 1 < g.segmentBlocks) {
                const char* next = reinterpret_cast<const char*>(&mem[refs[i + 1]]);
                for (int line = 0; line < 1024; line += 64) __builtin_prefetch(next + line);
            }
            Kernel::fill(state, mem[refs[i]], mem[curr], withXor);
        }
        return;
    }

    std::uint64_t rands[ARGON2_QWORDS_IN_BLOCK];
    Block zero{}, input{}, addresses{};
    if (independent) {
        input.v[0] = job.pass;
        input.v[1] = job.lane;
        input.v[2] = job.slice;
        input.v[3] = std::uint64_t(g.laneBlocks) * g.lanes;
        input.v[4] = g.passes;
        input.v[5] = static_cast<std::uint64_t>(job.type);
    }
    for (std::uint32_t i = start; i < g.segmentBlocks; ++i, ++curr) {
        std::uint64_t pseudoRand;
        if (independent) {
            if (i == start || i % ARGON2_QWORDS_IN_BLOCK == 0) {
                ++input.v[6];
                alignas(64) typename Kernel::State s;
                Kernel::load(s, zero);
                Kernel::fill(s, input, addresses, false);
                Kernel::load(s, zero);
                Kernel::fill(s, addresses, addresses, false);
                for (std::size_t k = 0; k < ARGON2_QWORDS_IN_BLOCK; ++k) rands[k] = addresses.v[k];
            }
            pseudoRand = rands[i % ARGON2_QWORDS_IN_BLOCK];
        } else {
            pseudoRand = Kernel::firstWord(state);
        }
        const std::uint32_t refLane = referenceLane(g, job.pass, job.slice, job.lane, pseudoRand);
        const std::uint32_t refIndex =
            referenceIndex(g, job.pass, job.slice, i, static_cast<std::uint32_t>(pseudoRand), refLane == job.lane);
        Kernel::fill(state, mem[refLane * g.laneBlocks + refIndex], mem[curr], withXor);
    }
}
