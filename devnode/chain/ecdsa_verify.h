// ECDSA verification with OpenSSL: independent of the miner's signing library.
#pragma once

#include <string>

// Verifies a DER signature given as hex over SHA-256(text) against a
// compressed secp256k1 public key given as hex.
bool openssl_verify(const std::string& pubhex, const std::string& text, const std::string& derHex);
