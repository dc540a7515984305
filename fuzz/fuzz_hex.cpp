// Hex helpers on arbitrary text: never fail, and keep their length rules.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "block/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool prefixed = size >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::size_t digits = size - (prefixed ? 2 : 0);
    if (hexToBytes(text).size() != (digits + 1) / 2) std::abort();

    const std::string norm = norm_hex_nopad_lower(text);
    if (norm.empty() || (norm.size() > 1 && norm[0] == '0')) std::abort();
    for (char c : norm)
        if (c >= 'A' && c <= 'Z') std::abort();
    if (norm != "0" && norm.size() > digits) std::abort();

    const std::string hex = hexLower(data, size);
    if (hexToBytes(hex) != std::vector<unsigned char>(data, data + size)) std::abort();
    return 0;
}
