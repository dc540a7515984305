// SSSE3 kernel: a block is 64 registers of two words; rows and columns are
// both runs of 128-bit pairs, so no word ever has to move between registers
// except for the diagonal steps.
#include "fill.h"

#include <tmmintrin.h>

namespace {

inline __m128i fBlaMka(__m128i x, __m128i y) {
    const __m128i z = _mm_mul_epu32(x, y);
    return _mm_add_epi64(_mm_add_epi64(x, y), _mm_add_epi64(z, z));
}

inline __m128i rotr32(__m128i x) { return _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)); }
inline __m128i rotr24(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10));
}
inline __m128i rotr16(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9));
}
inline __m128i rotr63(__m128i x) { return _mm_xor_si128(_mm_srli_epi64(x, 63), _mm_add_epi64(x, x)); }

inline void g(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = fBlaMka(a, b);
    d = rotr32(_mm_xor_si128(d, a));
    c = fBlaMka(c, d);
    b = rotr24(_mm_xor_si128(b, c));
    a = fBlaMka(a, b);
    d = rotr16(_mm_xor_si128(d, a));
    c = fBlaMka(c, d);
    b = rotr63(_mm_xor_si128(b, c));
}

// P on (v0 v1)(v2 v3)(v4 v5)(v6 v7)(v8 v9)(v10 v11)(v12 v13)(v14 v15).
inline void permuteP(__m128i& a0, __m128i& a1, __m128i& b0, __m128i& b1, __m128i& c0, __m128i& c1, __m128i& d0,
                  __m128i& d1) {
    g(a0, b0, c0, d0);
    g(a1, b1, c1, d1);
    // Diagonals: rotate row b by one word, c by two, d by three.
    __m128i t0 = _mm_alignr_epi8(b1, b0, 8), t1 = _mm_alignr_epi8(b0, b1, 8);
    b0 = t0;
    b1 = t1;
    t0 = c0;
    c0 = c1;
    c1 = t0;
    t0 = _mm_alignr_epi8(d0, d1, 8);
    t1 = _mm_alignr_epi8(d1, d0, 8);
    d0 = t0;
    d1 = t1;
    g(a0, b0, c0, d0);
    g(a1, b1, c1, d1);
    t0 = _mm_alignr_epi8(b0, b1, 8);
    t1 = _mm_alignr_epi8(b1, b0, 8);
    b0 = t0;
    b1 = t1;
    t0 = c0;
    c0 = c1;
    c1 = t0;
    t0 = _mm_alignr_epi8(d1, d0, 8);
    t1 = _mm_alignr_epi8(d0, d1, 8);
    d0 = t0;
    d1 = t1;
}

struct Ssse3Kernel {
    struct State {
        __m128i r[64];
    };
    static void load(State& s, const argon2::Block& b) {
        for (int i = 0; i < 64; ++i) s.r[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(b.v) + i);
    }
    template <class Hint>
    static void fill(State& s, const argon2::Block& ref, argon2::Block& next, bool withXor, Hint hint) {
        const __m128i* refv = reinterpret_cast<const __m128i*>(ref.v);
        __m128i* nextv = reinterpret_cast<__m128i*>(next.v);
        __m128i keep[64];
        for (int i = 0; i < 64; ++i) {
            s.r[i] = _mm_xor_si128(s.r[i], _mm_load_si128(refv + i));
            keep[i] = withXor ? _mm_xor_si128(s.r[i], _mm_load_si128(nextv + i)) : s.r[i];
        }
        __m128i* r = s.r;
        for (int i = 0; i < 8; ++i)
            permuteP(r[8 * i], r[8 * i + 1], r[8 * i + 2], r[8 * i + 3], r[8 * i + 4], r[8 * i + 5], r[8 * i + 6],
                  r[8 * i + 7]);
        for (int i = 0; i < 8; ++i) {
            permuteP(r[i], r[i + 8], r[i + 16], r[i + 24], r[i + 32], r[i + 40], r[i + 48], r[i + 56]);
            if (i == 0) hint(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_xor_si128(r[0], keep[0]))));
        }
        for (int i = 0; i < 64; ++i) {
            s.r[i] = _mm_xor_si128(s.r[i], keep[i]);
            _mm_store_si128(nextv + i, s.r[i]);
        }
    }
};

#include "fill_segment.inl"

}  // namespace

void argon2::host::fillSegmentSsse3(const SegmentJob* jobs, int count) { fillSegments<Ssse3Kernel>(jobs, count); }
