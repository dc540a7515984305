#include "blake2b.h"

#include "blake2b_core.h"

#include <algorithm>
#include <cstring>

namespace argon2::detail {
namespace {

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);  // little-endian hosts only, as everywhere in this library
    return v;
}

}  // namespace

Blake2b::Blake2b(std::size_t outLen) : outLen_(outLen) {
    blake2bInitWords(h_, outLen);
}

void Blake2b::compress(const std::uint8_t* block, bool last) {
    std::uint64_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load64(block + 8 * i);
    blake2bCompressWords(h_, m, t_[0], t_[1], last);
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
