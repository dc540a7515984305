#include "blake2b.h"

#include <algorithm>
#include <cstring>

namespace argon2::detail {
namespace {

constexpr std::uint64_t kIV[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr std::uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

inline std::uint64_t rotr(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);  // little-endian hosts only, as everywhere in this library
    return v;
}

}  // namespace

Blake2b::Blake2b(std::size_t outLen) : outLen_(outLen) {
    std::copy(kIV, kIV + 8, h_);
    h_[0] ^= 0x01010000ULL ^ outLen;
}

void Blake2b::compress(const std::uint8_t* block, bool last) {
    std::uint64_t m[16], v[16];
    for (int i = 0; i < 16; ++i) m[i] = load64(block + 8 * i);
    for (int i = 0; i < 8; ++i) {
        v[i] = h_[i];
        v[i + 8] = kIV[i];
    }
    v[12] ^= t_[0];
    v[13] ^= t_[1];
    if (last) v[14] = ~v[14];
    auto g = [&](int r, int i, int a, int b, int c, int d) {
        v[a] = v[a] + v[b] + m[kSigma[r][2 * i]];
        v[d] = rotr(v[d] ^ v[a], 32);
        v[c] = v[c] + v[d];
        v[b] = rotr(v[b] ^ v[c], 24);
        v[a] = v[a] + v[b] + m[kSigma[r][2 * i + 1]];
        v[d] = rotr(v[d] ^ v[a], 16);
        v[c] = v[c] + v[d];
        v[b] = rotr(v[b] ^ v[c], 63);
    };
    for (int r = 0; r < 12; ++r) {
        g(r, 0, 0, 4, 8, 12);
        g(r, 1, 1, 5, 9, 13);
        g(r, 2, 2, 6, 10, 14);
        g(r, 3, 3, 7, 11, 15);
        g(r, 4, 0, 5, 10, 15);
        g(r, 5, 1, 6, 11, 12);
        g(r, 6, 2, 7, 8, 13);
        g(r, 7, 3, 4, 9, 14);
    }
    for (int i = 0; i < 8; ++i) h_[i] ^= v[i] ^ v[i + 8];
}

void Blake2b::update(const void* data, std::size_t len) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    while (len > 0) {
        // Keep the last block buffered: it must be compressed with the final flag.
        if (bufLen_ == sizeof buf_) {
            t_[0] += sizeof buf_;
            if (t_[0] < sizeof buf_) ++t_[1];
            compress(buf_, false);
            bufLen_ = 0;
        }
        std::size_t take = std::min(len, sizeof buf_ - bufLen_);
        std::memcpy(buf_ + bufLen_, in, take);
        bufLen_ += take;
        in += take;
        len -= take;
    }
}

void Blake2b::updateLE32(std::uint32_t v) {
    const std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
    update(b, 4);
}

void Blake2b::final(void* out) {
    t_[0] += bufLen_;
    if (t_[0] < bufLen_) ++t_[1];
    std::memset(buf_ + bufLen_, 0, sizeof buf_ - bufLen_);
    compress(buf_, true);
    std::memcpy(out, h_, outLen_);
}

void blake2bLong(void* out, std::size_t outLen, const void* in, std::size_t inLen) {
    auto* dst = static_cast<std::uint8_t*>(out);
    if (outLen <= 64) {
        Blake2b h(outLen);
        h.updateLE32(static_cast<std::uint32_t>(outLen));
        h.update(in, inLen);
        h.final(dst);
        return;
    }
    std::uint8_t v[64];
    Blake2b first(64);
    first.updateLE32(static_cast<std::uint32_t>(outLen));
    first.update(in, inLen);
    first.final(v);
    std::memcpy(dst, v, 32);
    dst += 32;
    std::size_t remaining = outLen - 32;
    while (remaining > 64) {
        Blake2b next(64);
        next.update(v, 64);
        next.final(v);
        std::memcpy(dst, v, 32);
        dst += 32;
        remaining -= 32;
    }
    Blake2b last(remaining);
    last.update(v, 64);
    last.final(dst);
}

}  // namespace argon2::detail
