#include "block/hex.h"

#include <utility>

#include <cstdlib>

namespace quorlen::block {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// Value of a hex digit, or -1.
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hasHexPrefix(const std::string& s) {
    return s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// One pair converted exactly as strtoul(pair, nullptr, 16), low 8 bits.
unsigned char pairByte(char hi, char lo) {
    int h = hexValue(hi), l = hexValue(lo);
    if (h >= 0 && l >= 0) return static_cast<unsigned char>(h << 4 | l);
    const char pair[3] = {hi, lo, '\0'};
    return static_cast<unsigned char>(std::strtoul(pair, nullptr, 16) & 0xffu);
}

}  // namespace

std::string lower_without_leading_zeros(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    size_t first = text.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    return text.substr(first);
}

bool hex_at_most(const std::string& hash, const std::string& target) {
    const std::vector<unsigned char> h = hexToBytes(hash), t = hexToBytes(target);
    const size_t len = h.size() > t.size() ? h.size() : t.size();
    // Compared as if the shorter were padded on the left with zero bytes.
    for (size_t i = 0; i < len; ++i) {
        const unsigned hb = i < len - h.size() ? 0 : h[i - (len - h.size())];
        const unsigned tb = i < len - t.size() ? 0 : t[i - (len - t.size())];
        if (hb != tb) return hb < tb;
    }
    return true;
}

}  // namespace quorlen::block

using namespace quorlen::block;

std::string hexLower(const unsigned char* data, size_t len) {
    std::string out(len * 2, '\0');
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0x0f];
    }
    return out;
}

std::vector<unsigned char> hexToBytes(std::string text) {
    if (hasHexPrefix(text)) text.erase(0, 2);
    if (text.size() % 2 != 0) text.insert(text.begin(), '0');
    std::vector<unsigned char> out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = pairByte(text[2 * i], text[2 * i + 1]);
    return out;
}

std::string norm_hex_nopad_lower(std::string text) {
    if (hasHexPrefix(text)) text.erase(0, 2);
    return lower_without_leading_zeros(std::move(text));
}
