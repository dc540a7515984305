// AVX-512F kernel: a block is 16 registers of eight words, and every P step
// works on two 4x4 matrices at once (two rows, or two columns, side by side
// in the register's 256-bit halves).
#include "fill.h"

#include <immintrin.h>

namespace {

inline __m512i fBlaMka(__m512i x, __m512i y) {
    const __m512i z = _mm512_mul_epu32(x, y);
    return _mm512_add_epi64(_mm512_add_epi64(x, y), _mm512_add_epi64(z, z));
}

inline void g(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
    a = fBlaMka(a, b);
    d = _mm512_ror_epi64(_mm512_xor_si512(d, a), 32);
    c = fBlaMka(c, d);
    b = _mm512_ror_epi64(_mm512_xor_si512(b, c), 24);
    a = fBlaMka(a, b);
    d = _mm512_ror_epi64(_mm512_xor_si512(d, a), 16);
    c = fBlaMka(c, d);
    b = _mm512_ror_epi64(_mm512_xor_si512(b, c), 63);
}

// P on two 4x4 matrices, one in each 256-bit half, a matrix row per register.
inline void permuteP2(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
    g(a, b, c, d);
    b = _mm512_permutex_epi64(b, _MM_SHUFFLE(0, 3, 2, 1));
    c = _mm512_permutex_epi64(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm512_permutex_epi64(d, _MM_SHUFFLE(2, 1, 0, 3));
    g(a, b, c, d);
    b = _mm512_permutex_epi64(b, _MM_SHUFFLE(2, 1, 0, 3));
    c = _mm512_permutex_epi64(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm512_permutex_epi64(d, _MM_SHUFFLE(0, 3, 2, 1));
}

struct Avx512Kernel {
    struct State {
        __m512i r[16];
    };
    static void load(State& s, const argon2::Block& b) {
        for (int i = 0; i < 16; ++i) s.r[i] = _mm512_load_si512(reinterpret_cast<const __m512i*>(b.v) + i);
    }
    template <class Hint>
    static void fill(State& s, const argon2::Block& ref, argon2::Block& next, bool withXor, Hint hint) {
        const __m512i* refv = reinterpret_cast<const __m512i*>(ref.v);
        __m512i* nextv = reinterpret_cast<__m512i*>(next.v);
        __m512i keep[16];
        __m512i* r = s.r;
        for (int i = 0; i < 16; ++i) {
            r[i] = _mm512_xor_si512(r[i], _mm512_load_si512(refv + i));
            keep[i] = withXor ? _mm512_xor_si512(r[i], _mm512_load_si512(nextv + i)) : r[i];
        }
        // Rows 2q and 2q+1: registers 4q .. 4q+3, two per row, (a b) then (c d).
        for (int q = 0; q < 4; ++q) {
            __m512i& x0 = r[4 * q];
            __m512i& x1 = r[4 * q + 1];
            __m512i& y0 = r[4 * q + 2];
            __m512i& y1 = r[4 * q + 3];
            __m512i a = _mm512_shuffle_i64x2(x0, y0, _MM_SHUFFLE(1, 0, 1, 0));
            __m512i b = _mm512_shuffle_i64x2(x0, y0, _MM_SHUFFLE(3, 2, 3, 2));
            __m512i c = _mm512_shuffle_i64x2(x1, y1, _MM_SHUFFLE(1, 0, 1, 0));
            __m512i d = _mm512_shuffle_i64x2(x1, y1, _MM_SHUFFLE(3, 2, 3, 2));
            permuteP2(a, b, c, d);
            x0 = _mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(1, 0, 1, 0));
            y0 = _mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(3, 2, 3, 2));
            x1 = _mm512_shuffle_i64x2(c, d, _MM_SHUFFLE(1, 0, 1, 0));
            y1 = _mm512_shuffle_i64x2(c, d, _MM_SHUFFLE(3, 2, 3, 2));
        }
        // Column c holds pairs at words 2c + 16k: 128-bit lane c%4 of
        // registers c/4 + 2k. Columns c and c+1 (c even) go side by side.
        const __m512i takeLo = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
        const __m512i takeHi = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
        const __m512i backX = _mm512_setr_epi64(0, 1, 4, 5, 8, 9, 12, 13);
        const __m512i backY = _mm512_setr_epi64(2, 3, 6, 7, 10, 11, 14, 15);
        for (int q = 0; q < 2; ++q) {
            __m512i lo[4], hi[4];
            for (int k = 0; k < 4; ++k) {
                const __m512i x = r[q + 4 * k], y = r[q + 4 * k + 2];
                lo[k] = _mm512_permutex2var_epi64(x, takeLo, y);
                hi[k] = _mm512_permutex2var_epi64(x, takeHi, y);
            }
            permuteP2(lo[0], lo[1], lo[2], lo[3]);
            permuteP2(hi[0], hi[1], hi[2], hi[3]);
            for (int k = 0; k < 4; ++k) {
                r[q + 4 * k] = _mm512_permutex2var_epi64(lo[k], backX, hi[k]);
                r[q + 4 * k + 2] = _mm512_permutex2var_epi64(lo[k], backY, hi[k]);
            }
            if (q == 0)
                hint(static_cast<std::uint64_t>(
                    _mm_cvtsi128_si64(_mm512_castsi512_si128(_mm512_xor_si512(r[0], keep[0])))));
        }
        for (int i = 0; i < 16; ++i) {
            r[i] = _mm512_xor_si512(r[i], keep[i]);
            _mm512_store_si512(nextv + i, r[i]);
        }
    }
};

#include "fill_segment.inl"

}  // namespace

void argon2::host::fillSegmentAvx512(const SegmentJob* jobs, int count) { fillSegments<Avx512Kernel>(jobs, count); }
