// Debian's reference libargon2 as the oracle for our own digests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Argon2Case {
    int type = 2;  // 0 d, 1 i, 2 id
    std::uint32_t version = 0x13;
    std::uint32_t passes = 1;
    std::uint32_t memoryKiB = 16384;
    std::uint32_t lanes = 2;
    std::size_t outLen = 32;
    std::string salt = "quorlen-argon2-salt";
    std::string secret;
    std::string ad;
};

std::vector<std::uint8_t> reference_argon2(const Argon2Case& c, const std::string& password);
