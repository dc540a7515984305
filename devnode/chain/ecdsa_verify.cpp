#include "ecdsa_verify.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/sha.h>

#include <memory>

#include "hexbytes.h"

bool openssl_verify(const std::string& pubhex, const std::string& text, const std::string& derHex) {
    std::vector<unsigned char> pub = hex_bytes(pubhex);
    std::vector<unsigned char> der = hex_bytes(derHex);
    unsigned char digest[32];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);

    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "secp256k1", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* fromCtx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    bool ok = EVP_PKEY_fromdata_init(fromCtx) == 1 &&
              EVP_PKEY_fromdata(fromCtx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
    if (ok) {
        EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(key, nullptr);
        ok = EVP_PKEY_verify_init(vctx) == 1 &&
             EVP_PKEY_verify(vctx, der.data(), der.size(), digest, sizeof digest) == 1;
        EVP_PKEY_CTX_free(vctx);
    }
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(fromCtx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return ok;
}
