// The BLAKE2b compression function on words: shared by the host's hashing
// and the device kernels, so there is one copy of it.
#pragma once

#include <cstdint>

#include "index.h"

namespace argon2::detail {

// Word i of the initialisation vector. A function rather than an array, so
// that device code can use it without a copy in device memory.
ARGON2GPU_HD std::uint64_t blake2bIV(int i) {
    const std::uint64_t iv[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                 0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                                 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};
    return iv[i];
}

// The chaining value of an unkeyed hash of `outLen` bytes before any input.
ARGON2GPU_HD void blake2bInitWords(std::uint64_t (&h)[8], std::uint64_t outLen) {
    for (int i = 0; i < 8; ++i) h[i] = blake2bIV(i);
    h[0] ^= 0x01010000ULL ^ outLen;
}

ARGON2GPU_HD std::uint64_t blake2bRotr(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// h ^= the compression of the message words m at byte count (t0, t1).
ARGON2GPU_HD void blake2bCompressWords(std::uint64_t (&h)[8], const std::uint64_t (&m)[16], std::uint64_t t0,
                                       std::uint64_t t1, bool last) {
    const std::uint8_t sigma[12][16] = {
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
        {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
        {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
        {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
        {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    };
    const int cols[8][4] = {{0, 4, 8, 12}, {1, 5, 9, 13}, {2, 6, 10, 14}, {3, 7, 11, 15},
                            {0, 5, 10, 15}, {1, 6, 11, 12}, {2, 7, 8, 13}, {3, 4, 9, 14}};
    std::uint64_t v[16];
    for (int i = 0; i < 8; ++i) {
        v[i] = h[i];
        v[i + 8] = blake2bIV(i);
    }
    v[12] ^= t0;
    v[13] ^= t1;
    if (last) v[14] = ~v[14];
    for (int r = 0; r < 12; ++r) {
        for (int k = 0; k < 8; ++k) {
            const int a = cols[k][0], b = cols[k][1], c = cols[k][2], d = cols[k][3];
            v[a] = v[a] + v[b] + m[sigma[r][2 * k]];
            v[d] = blake2bRotr(v[d] ^ v[a], 32);
            v[c] = v[c] + v[d];
            v[b] = blake2bRotr(v[b] ^ v[c], 24);
            v[a] = v[a] + v[b] + m[sigma[r][2 * k + 1]];
            v[d] = blake2bRotr(v[d] ^ v[a], 16);
            v[c] = v[c] + v[d];
            v[b] = blake2bRotr(v[b] ^ v[c], 63);
        }
    }
    for (int i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
}

}  // namespace argon2::detail
