// What the Argon2 library's tests share with the flavours' own files
// (argon2_<flavour>_test.cpp): one batch through our library, and random
// inputs as the library accepts them.
#pragma once

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "argon2gpu/cuda/processing_unit.h"
#include "support/device.h"
#include "support/reference_argon2.h"

namespace argon2_tests {

using argon2::cuda::Device;
using argon2::cuda::GlobalContext;
using argon2::cuda::ProcessingUnit;
using argon2::cuda::ProgramContext;

struct Options {
    bool bySegment = false;
    bool precompute = true;
    std::string variant;  // the fill variant; empty: the library's choice
};

// Hashes `passwords` as one batch.
inline std::vector<std::vector<std::uint8_t>> ourHashes(const Argon2Case& c,
                                                        const std::vector<std::string>& passwords, Options o = {}) {
    GlobalContext global;
    const Device& dev = first_device(global);
    ProgramContext program(&global, {dev}, argon2::Type(c.type), argon2::Version(c.version));
    if (!o.variant.empty() && !program.selectImplementation(o.variant))
        throw std::runtime_error("no fill variant " + o.variant + " here");
    argon2::Argon2Params params(c.outLen, c.salt.data(), c.salt.size(), c.secret.data(), c.secret.size(),
                                c.ad.data(), c.ad.size(), c.passes, c.memoryKiB, c.lanes);
    ProcessingUnit unit(&program, &params, &dev, passwords.size(), o.bySegment, o.precompute);
    for (std::size_t i = 0; i < passwords.size(); ++i)
        unit.setPassword(i, passwords[i].data(), passwords[i].size());
    unit.beginProcessing();
    unit.endProcessing();
    std::vector<std::vector<std::uint8_t>> out(passwords.size(), std::vector<std::uint8_t>(c.outLen));
    for (std::size_t i = 0; i < passwords.size(); ++i) unit.getHash(i, out[i].data());
    return out;
}

inline std::string randomBytes(std::mt19937& rng, std::size_t len) {
    std::string s(len, '\0');
    for (char& ch : s) ch = static_cast<char>(rng());
    return s;
}

// A case with random lengths and contents, as the library accepts them.
inline Argon2Case randomCase(std::mt19937& rng, int type, std::uint32_t version) {
    Argon2Case c;
    c.type = type;
    c.version = version;
    c.passes = 1 + rng() % 3;
    c.lanes = 1 + rng() % 4;
    c.memoryKiB = 8 * c.lanes + rng() % 300;  // not always a multiple of 4 * lanes
    c.outLen = 4 + rng() % 100;
    c.salt = randomBytes(rng, 8 + rng() % 20);
    c.secret = randomBytes(rng, rng() % 10);
    c.ad = randomBytes(rng, rng() % 10);
    return c;
}

}  // namespace argon2_tests
