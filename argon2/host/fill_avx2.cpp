// AVX2 kernel: a block is 32 registers of four words. A row's 4x4 matrix is
// exactly four registers; a column's pairs are gathered two columns at a time
// by exchanging 128-bit halves.
#include "fill.h"

#include <immintrin.h>

namespace {

inline __m256i fBlaMka(__m256i x, __m256i y) {
    const __m256i z = _mm256_mul_epu32(x, y);
    return _mm256_add_epi64(_mm256_add_epi64(x, y), _mm256_add_epi64(z, z));
}

inline __m256i rotr32(__m256i x) { return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)); }
inline __m256i rotr24(__m256i x) {
    return _mm256_shuffle_epi8(x, _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4, 5, 6, 7,
                                                   0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10));
}
inline __m256i rotr16(__m256i x) {
    return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3, 4, 5, 6,
                                                   7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9));
}
inline __m256i rotr63(__m256i x) { return _mm256_xor_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x)); }

inline void g(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
    a = fBlaMka(a, b);
    d = rotr32(_mm256_xor_si256(d, a));
    c = fBlaMka(c, d);
    b = rotr24(_mm256_xor_si256(b, c));
    a = fBlaMka(a, b);
    d = rotr16(_mm256_xor_si256(d, a));
    c = fBlaMka(c, d);
    b = rotr63(_mm256_xor_si256(b, c));
}

// P on a 4x4 matrix of words held one row per register.
inline void permuteP(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
    g(a, b, c, d);
    b = _mm256_permute4x64_epi64(b, _MM_SHUFFLE(0, 3, 2, 1));
    c = _mm256_permute4x64_epi64(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm256_permute4x64_epi64(d, _MM_SHUFFLE(2, 1, 0, 3));
    g(a, b, c, d);
    b = _mm256_permute4x64_epi64(b, _MM_SHUFFLE(2, 1, 0, 3));
    c = _mm256_permute4x64_epi64(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm256_permute4x64_epi64(d, _MM_SHUFFLE(0, 3, 2, 1));
}

struct Avx2Kernel {
    struct State {
        __m256i r[32];
    };
    static void load(State& s, const argon2::Block& b) {
        for (int i = 0; i < 32; ++i) s.r[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.v) + i);
    }
    template <class Hint>
    static void fill(State& s, const argon2::Block& ref, argon2::Block& next, bool withXor, Hint hint) {
        const __m256i* refv = reinterpret_cast<const __m256i*>(ref.v);
        __m256i* nextv = reinterpret_cast<__m256i*>(next.v);
        __m256i keep[32];
        __m256i* r = s.r;
        for (int i = 0; i < 32; ++i) {
            r[i] = _mm256_xor_si256(r[i], _mm256_load_si256(refv + i));
            keep[i] = withXor ? _mm256_xor_si256(r[i], _mm256_load_si256(nextv + i)) : r[i];
        }
        // Rows: words 16i .. 16i+15 are registers 4i .. 4i+3.
        for (int i = 0; i < 8; ++i) permuteP(r[4 * i], r[4 * i + 1], r[4 * i + 2], r[4 * i + 3]);
        // Columns 2j and 2j+1 take the low and high halves of registers
        // j, j+4, ..., j+28.
        for (int j = 0; j < 4; ++j) {
            __m256i lo[4], hi[4];
            for (int k = 0; k < 4; ++k) {
                lo[k] = _mm256_permute2x128_si256(r[j + 8 * k], r[j + 8 * k + 4], 0x20);
                hi[k] = _mm256_permute2x128_si256(r[j + 8 * k], r[j + 8 * k + 4], 0x31);
            }
            permuteP(lo[0], lo[1], lo[2], lo[3]);
            permuteP(hi[0], hi[1], hi[2], hi[3]);
            for (int k = 0; k < 4; ++k) {
                r[j + 8 * k] = _mm256_permute2x128_si256(lo[k], hi[k], 0x20);
                r[j + 8 * k + 4] = _mm256_permute2x128_si256(lo[k], hi[k], 0x31);
            }
            if (j == 0)
                hint(static_cast<std::uint64_t>(
                    _mm_cvtsi128_si64(_mm256_castsi256_si128(_mm256_xor_si256(r[0], keep[0])))));
        }
        for (int i = 0; i < 32; ++i) {
            r[i] = _mm256_xor_si256(r[i], keep[i]);
            _mm256_store_si256(nextv + i, r[i]);
        }
    }
};

#include "fill_segment.inl"

}  // namespace

void argon2::host::fillSegmentAvx2(const SegmentJob* jobs, int count) { fillSegments<Avx2Kernel>(jobs, count); }
