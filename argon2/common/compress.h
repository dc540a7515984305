// Argon2's compression function G, portable version.
#pragma once

#include "argon2gpu/params.h"

namespace argon2::detail {

// out = G(x, y), or G(x, y) XOR out when `withXor` (later passes of 0x13).
void compressBlock(const Block& x, const Block& y, Block& out, bool withXor);

// The permutation P on 16 words, the rows and columns of a block.
void permuteRowsAndColumns(Block& r);

}  // namespace argon2::detail
