// Strict hex for the node: anything that is not an even run of hex digits is
// refused (an empty result), unlike the miner's lenient reading.
#pragma once

#include <string>
#include <vector>

std::vector<unsigned char> hex_bytes(const std::string& hex);
std::string to_hex(const unsigned char* data, size_t len);
