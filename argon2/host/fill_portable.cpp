// Portable kernel: plain 64-bit arithmetic, for any CPU.
#include "fill.h"

#include "../common/compress.h"

namespace {

struct PortableKernel {
    using State = argon2::Block;
    static void load(State& s, const argon2::Block& b) { s = b; }
    template <class Hint>
    static void fill(State& s, const argon2::Block& ref, argon2::Block& next, bool withXor, Hint hint) {
        argon2::detail::compressBlock(s, ref, next, withXor);
        s = next;
        hint(s.v[0]);
    }
};

#include "fill_segment.inl"

}  // namespace

void argon2::host::fillSegmentPortable(const SegmentJob* jobs, int count) { fillSegments<PortableKernel>(jobs, count); }
