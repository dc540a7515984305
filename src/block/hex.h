// Hex and JSON-string text helpers. None of them reports an error: malformed
// input is converted by fixed rules and callers check lengths themselves.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// Lowercase hex of `len` bytes, two characters per byte, high nibble first.
std::string hexLower(const unsigned char* data, size_t len);

// Bytes of a hex text. One leading "0x"/"0X" is dropped, an odd length gets a
// leading zero nibble, and each pair converts as strtoul(pair, 16) does,
// keeping the low 8 bits (so "zz" gives 0x00 and "-f" gives 0xf1).
std::vector<unsigned char> hexToBytes(std::string text);

// A hex number without "0x", lowercased (ASCII only), leading '0's removed;
// "0" when nothing remains. Other characters pass through unchecked.
std::string norm_hex_nopad_lower(std::string text);

// Appends the contents of a JSON string (without the quotes): '"' and '\\'
// are backslash-escaped, bytes below 0x20 become \u00xx, all else is copied.
void json_escape(const std::string& text, std::ostringstream& out);
void json_escape_append(std::string& out, std::string_view text);
