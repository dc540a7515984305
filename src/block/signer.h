// One secp256k1 private key with its context and compressed public key.
// Copies share the context, which is never destroyed: it lives until exit.
#pragma once

#include <string>
#include <vector>

struct secp256k1_context_struct;

struct Signer {
    secp256k1_context_struct* ctx = nullptr;
    std::vector<unsigned char> seckey;  // 32 bytes once loaded
    std::string pubhex;                 // 66 lowercase hex characters once loaded
    bool ok = false;

    // Loads a private key given as hex (see hexToBytes for what is accepted).
    // With `verbose`, a refusal is explained on standard error by one of
    // "bad priv size", "invalid secp256k1 priv", "ec_pubkey_create failed".
    [[nodiscard]] bool init(const std::string& hex, bool verbose);
};

// SHA-256 of `text`, ECDSA over secp256k1 with the deterministic RFC 6979
// nonce (lower-S), DER-encoded, as lowercase hex; "" when signing fails.
[[nodiscard]] std::string sign_hex(const Signer& signer, const std::string& text);

namespace quorlen::block {

// Why a private-key text cannot be what its owner meant, or "" when it can:
// only hex digits are allowed, after an optional "0x"/"0X". The hex rules
// would otherwise turn a blank, a sign or a typo into a different valid key,
// and the rewards would go to a key nobody holds. Lengths are init's matter.
[[nodiscard]] std::string priv_text_problem(const std::string& text);

}  // namespace quorlen::block
