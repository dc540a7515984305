// BLAKE2b (RFC 7693), unkeyed, and Argon2's variable-length hash H'.
#pragma once

#include <cstddef>
#include <cstdint>

namespace argon2::detail {

class Blake2b {
public:
    explicit Blake2b(std::size_t outLen);  // 1..64 bytes
    void update(const void* data, std::size_t len);
    void updateLE32(std::uint32_t v);
    void final(void* out);

private:
    void compress(const std::uint8_t* block, bool last);

    std::uint64_t h_[8];
    std::uint64_t t_[2] = {0, 0};
    std::uint8_t buf_[128];
    std::size_t bufLen_ = 0;
    std::size_t outLen_;
};

// H'(outLen, in): Argon2's hash of any output length.
void blake2bLong(void* out, std::size_t outLen, const void* in, std::size_t inLen);

}  // namespace argon2::detail
