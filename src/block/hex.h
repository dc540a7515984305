// Hex text helpers. None of them reports an error: malformed input is
// converted by fixed rules and callers check lengths themselves.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Lowercase hex of `len` bytes, two characters per byte, high nibble first.
std::string hexLower(const unsigned char* data, size_t len);

// Bytes of a hex text. One leading "0x"/"0X" is dropped, an odd length gets a
// leading zero nibble, and each pair converts as strtoul(pair, 16) does,
// keeping the low 8 bits (so "zz" gives 0x00 and "-f" gives 0xf1).
[[nodiscard]] std::vector<unsigned char> hexToBytes(std::string text);

// The same after one leading "0x"/"0X" is dropped: a hex number's own digits.
std::string norm_hex_nopad_lower(std::string text);

namespace quorlen::block {

// `text` lowercased (ASCII only) with its leading '0's removed; "0" when
// nothing remains. Other characters pass through unchecked.
std::string lower_without_leading_zeros(std::string text);

// Whether the hex number `hash` is at most `target`, both read as
// hexToBytes reads them (big-endian; the shorter padded with zero bytes on
// the left).
[[nodiscard]] bool hex_at_most(const std::string& hash, const std::string& target);

}  // namespace quorlen::block
