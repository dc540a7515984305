// The BLAKE2b work of a hash that the device can do itself: expanding H0 into
// a lane's first blocks, and the tag of the final block (outputs up to 64
// bytes). One thread per block or per tag; host and device alike, so that
// the host tests the very code the device runs. Little-endian only.
#pragma once

#include <cstdint>

#include "../common/blake2b_core.h"
#include "../common/index.h"
#include "block_layout.h"

namespace argon2::kernel {

struct Blake2bState {
    std::uint64_t h[8];
    std::uint64_t t;  // bytes so far (never 2^64 here)
};

ARGON2GPU_HD void blake2bInit(Blake2bState& s, std::uint32_t outLen) {
    detail::blake2bInitWords(s.h, outLen);
    s.t = 0;
}

// One compression of 16 message words; `bytes` of them count.
ARGON2GPU_HD void blake2bCompress(Blake2bState& s, const std::uint64_t (&m)[16], std::uint32_t bytes, bool last) {
    s.t += bytes;
    detail::blake2bCompressWords(s.h, m, s.t, 0, last);
}

// Block `index` of lane `lane`: H'(1024, H0 || LE32(index) || LE32(lane)),
// written in stored order. `h0` is H0 as 8 little-endian words.
ARGON2GPU_HD void firstBlock(const std::uint64_t* h0, std::uint32_t index, std::uint32_t lane, std::uint64_t* out) {
    // V1 = H(64, LE32(1024) || H0 || index || lane): 76 bytes, one compression.
    std::uint64_t m[16] = {};
    m[0] = 1024 | (h0[0] << 32);
    for (int i = 1; i < 8; ++i) m[i] = (h0[i - 1] >> 32) | (h0[i] << 32);
    m[8] = (h0[7] >> 32) | (std::uint64_t(index) << 32);
    m[9] = lane;
    Blake2bState s;
    blake2bInit(s, 64);
    blake2bCompress(s, m, 76, true);
    // Then V2 .. V30 = H(64, V(i-1)), each giving 32 bytes, and V31 all 64.
    std::uint32_t word = 0;
    for (int round = 1; round <= 31; ++round) {
        const int take = round == 31 ? 8 : 4;
        for (int i = 0; i < take; ++i) out[storedPosition(word++)] = s.h[i];
        if (round == 31) break;
        for (int i = 0; i < 8; ++i) m[i] = s.h[i];
        for (int i = 8; i < 16; ++i) m[i] = 0;
        blake2bInit(s, 64);
        blake2bCompress(s, m, 64, true);
    }
}

// H'(outLen, block) for outLen <= 64: H(outLen, LE32(outLen) || block),
// 1028 bytes in 9 compressions. `block` is in standard order.
ARGON2GPU_HD void shortTag(const std::uint64_t* block, std::uint32_t outLen, std::uint64_t* out8) {
    Blake2bState s;
    blake2bInit(s, outLen);
    std::uint64_t m[16];
    std::uint64_t carry = outLen;  // the 4-byte length shifts every word by half
    for (int chunk = 0; chunk < 8; ++chunk) {
        for (int i = 0; i < 16; ++i) {
            const std::uint64_t w = block[chunk * 16 + i];
            m[i] = carry | (w << 32);
            carry = w >> 32;
        }
        blake2bCompress(s, m, 128, false);
    }
    m[0] = carry;
    for (int i = 1; i < 16; ++i) m[i] = 0;
    blake2bCompress(s, m, 4, true);
    for (int i = 0; i < 8; ++i) out8[i] = s.h[i];
}

}  // namespace argon2::kernel
