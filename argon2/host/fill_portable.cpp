// Portable kernel: plain 64-bit arithmetic, for any CPU.
#include "fill.h"

#include "../common/compress.h"

namespace {

struct PortableKernel {
    using State = argon2::Block;
    static void load(State& s, const argon2::Block& b) { s = b; }
    static std::uint64_t firstWord(const State& s) { return s.v[0]; }
    static void fill(State& s, const argon2::Block& ref, argon2::Block& next, bool withXor) {
        argon2::detail::compressBlock(s, ref, next, withXor);
        s = next;
    }
};

#include "fill_segment.inl"

}  // namespace

void argon2::host::fillSegmentPortable(const SegmentJob& job) { fillSegmentWith<PortableKernel>(job); }
