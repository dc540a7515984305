#include "block/signer.h"

#include <cctype>
#include <cstdio>

#include <openssl/sha.h>
#include <secp256k1.h>

#include "block/hex.h"

namespace quorlen::block {

std::string priv_text_problem(const std::string& text) {
    const std::size_t from = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isxdigit(c)) continue;
        char why[128];
        std::snprintf(why, sizeof why, "private key text: character %zu (byte 0x%02x) is not a hex digit", i + 1,
                      unsigned(c));
        return why;
    }
    return "";
}

}  // namespace quorlen::block

using namespace quorlen::block;

bool Signer::init(const std::string& hex, bool verbose) {
    std::vector<unsigned char> key = hexToBytes(hex);
    if (key.size() != 32) {
        if (verbose) std::fputs("bad priv size\n", stderr);
        return false;
    }
    ctx = secp256k1_context_create(SECP256K1_CONTEXT_SIGN);
    if (!secp256k1_ec_seckey_verify(ctx, key.data())) {
        if (verbose) std::fputs("invalid secp256k1 priv\n", stderr);
        return false;
    }
    secp256k1_pubkey pub;
    if (!secp256k1_ec_pubkey_create(ctx, &pub, key.data())) {
        if (verbose) std::fputs("ec_pubkey_create failed\n", stderr);
        return false;
    }
    unsigned char ser[33];
    size_t serLen = sizeof ser;
    secp256k1_ec_pubkey_serialize(ctx, ser, &serLen, &pub, SECP256K1_EC_COMPRESSED);
    pubhex = hexLower(ser, serLen);
    seckey = std::move(key);
    ok = true;
    return true;
}

std::string sign_hex(const Signer& signer, const std::string& text) {
    if (signer.ctx == nullptr || signer.seckey.size() != 32) return "";
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    secp256k1_ecdsa_signature sig;
    if (!secp256k1_ecdsa_sign(signer.ctx, &sig, digest, signer.seckey.data(), nullptr, nullptr))
        return "";
    unsigned char der[80];
    size_t derLen = sizeof der;
    if (!secp256k1_ecdsa_signature_serialize_der(signer.ctx, der, &derLen, &sig)) return "";
    return hexLower(der, derLen);
}
