#include "compress.h"

namespace argon2::detail {
namespace {

inline std::uint64_t rotr(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// BlaMka: a + b + 2 * lo32(a) * lo32(b).
inline std::uint64_t fBlaMka(std::uint64_t a, std::uint64_t b) {
    return a + b + 2 * (a & 0xffffffffULL) * (b & 0xffffffffULL);
}

inline void gb(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d) {
    a = fBlaMka(a, b);
    d = rotr(d ^ a, 32);
    c = fBlaMka(c, d);
    b = rotr(b ^ c, 24);
    a = fBlaMka(a, b);
    d = rotr(d ^ a, 16);
    c = fBlaMka(c, d);
    b = rotr(b ^ c, 63);
}

// P over 16 words given by their positions in the block.
inline void permute(std::uint64_t* v, const int (&at)[16]) {
    std::uint64_t& v0 = v[at[0]];
    std::uint64_t& v1 = v[at[1]];
    std::uint64_t& v2 = v[at[2]];
    std::uint64_t& v3 = v[at[3]];
    std::uint64_t& v4 = v[at[4]];
    std::uint64_t& v5 = v[at[5]];
    std::uint64_t& v6 = v[at[6]];
    std::uint64_t& v7 = v[at[7]];
    std::uint64_t& v8 = v[at[8]];
    std::uint64_t& v9 = v[at[9]];
    std::uint64_t& v10 = v[at[10]];
    std::uint64_t& v11 = v[at[11]];
    std::uint64_t& v12 = v[at[12]];
    std::uint64_t& v13 = v[at[13]];
    std::uint64_t& v14 = v[at[14]];
    std::uint64_t& v15 = v[at[15]];
    gb(v0, v4, v8, v12);
    gb(v1, v5, v9, v13);
    gb(v2, v6, v10, v14);
    gb(v3, v7, v11, v15);
    gb(v0, v5, v10, v15);
    gb(v1, v6, v11, v12);
    gb(v2, v7, v8, v13);
    gb(v3, v4, v9, v14);
}

}  // namespace

void permuteRowsAndColumns(Block& r) {
    for (int i = 0; i < 8; ++i) {
        int at[16];
        for (int k = 0; k < 16; ++k) at[k] = 16 * i + k;
        permute(r.v, at);
    }
    for (int i = 0; i < 8; ++i) {
        int at[16];
        for (int k = 0; k < 8; ++k) {
            at[2 * k] = 2 * i + 16 * k;
            at[2 * k + 1] = 2 * i + 16 * k + 1;
        }
        permute(r.v, at);
    }
}

void compressBlock(const Block& x, const Block& y, Block& out, bool withXor) {
    Block r, keep;
    for (std::size_t i = 0; i < kQwordsInBlock; ++i) {
        r.v[i] = x.v[i] ^ y.v[i];
        keep.v[i] = withXor ? r.v[i] ^ out.v[i] : r.v[i];
    }
    permuteRowsAndColumns(r);
    for (std::size_t i = 0; i < kQwordsInBlock; ++i) out.v[i] = r.v[i] ^ keep.v[i];
}

}  // namespace argon2::detail
