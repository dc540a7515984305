// Reading a finished batch's digests as the miner compares them: 64
// lowercase hex characters each, in slot order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "block/hex.h"

namespace quorlen::gpu {

// `Unit` is anything with getHash(slot, tag32): a processing unit or a
// stand-in for one.
template <class Unit>
void read_hex_digests(Unit& unit, std::size_t n, std::vector<std::string>& outputs) {
    outputs.resize(n);
    unsigned char digest[32];
    for (std::size_t i = 0; i < n; ++i) {
        unit.getHash(i, digest);
        outputs[i] = hexLower(digest, sizeof digest);
    }
}

}  // namespace quorlen::gpu
