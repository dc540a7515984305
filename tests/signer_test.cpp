#include <gtest/gtest.h>
#include <secp256k1.h>

#include "block/hex.h"
#include "block/signer.h"
#include "ecdsa_verify.h"

namespace {

const std::string kKey = "5e1f0c2a9b7d4e3f8a6c1b2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b9c0d1e2f";
// The group order n; n itself and everything above it is not a valid key.
const std::string kOrder = "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141";

struct InitOutcome {
    bool ok;
    std::string err;
    Signer signer;
};

InitOutcome initCaptured(const std::string& hex, bool verbose = true) {
    Signer s;
    testing::internal::CaptureStderr();
    bool ok = s.init(hex, verbose);
    return {ok, testing::internal::GetCapturedStderr(), s};
}

}  // namespace

TEST(Signer, KeyTextLengths) {
    EXPECT_TRUE(initCaptured(kKey).ok);
    EXPECT_TRUE(initCaptured("0x" + kKey).ok);
    EXPECT_TRUE(initCaptured("0X" + kKey).ok);
    // 63 characters read as if they had a leading zero nibble.
    InitOutcome k63 = initCaptured(kKey.substr(1));
    ASSERT_TRUE(k63.ok);
    EXPECT_EQ(k63.signer.seckey, hexToBytes("0" + kKey.substr(1)));
    for (const std::string& bad : {kKey.substr(2), kKey + "a", std::string(), kKey + "ab"}) {
        InitOutcome r = initCaptured(bad);
        EXPECT_FALSE(r.ok) << bad.size();
        EXPECT_EQ(r.err, "bad priv size\n");
        EXPECT_EQ(r.signer.ctx, nullptr);
        EXPECT_FALSE(r.signer.ok);
    }
}

TEST(Signer, InvalidScalarsAreRefused) {
    std::string above = kOrder;
    above.back() = '2';
    for (const std::string& bad : {std::string(64, '0'), kOrder, above, std::string(64, 'f')}) {
        InitOutcome r = initCaptured(bad);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, "invalid secp256k1 priv\n");
        EXPECT_NE(r.signer.ctx, nullptr);  // the context is made before the check
        EXPECT_TRUE(r.signer.seckey.empty());
        EXPECT_TRUE(r.signer.pubhex.empty());
    }
    EXPECT_EQ(initCaptured(std::string(64, '0'), false).err, "");
    EXPECT_EQ(initCaptured("12", false).err, "");
    std::string below = kOrder;
    below.back() = '0';
    EXPECT_TRUE(initCaptured(below).ok);  // n - 1 is the largest key
}

TEST(Signer, NonHexCharactersConvertSilently) {
    // "zz" pairs become 0x00: a valid key all the same.
    InitOutcome r = initCaptured("zz" + kKey.substr(2));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.signer.seckey[0], 0x00);
}

TEST(Signer, PublicKeyIsTheCompressedPoint) {
    InitOutcome r = initCaptured(kKey);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.err, "");
    const std::string& pub = r.signer.pubhex;
    ASSERT_EQ(pub.size(), 66u);
    EXPECT_TRUE(pub.rfind("02", 0) == 0 || pub.rfind("03", 0) == 0);
    EXPECT_EQ(pub.find_first_not_of("0123456789abcdef"), std::string::npos);
    // Key 1 gives the generator point.
    EXPECT_EQ(initCaptured(std::string(63, '0') + "1").signer.pubhex,
              "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798");
}

TEST(Signer, SignaturesAreDeterministicLowSDerAndVerify) {
    Signer s = initCaptured(kKey).signer;
    for (const std::string& text : {std::string(), std::string("{\"a\":1}"), std::string(5000, 'x')}) {
        std::string sig = sign_hex(s, text);
        ASSERT_FALSE(sig.empty());
        EXPECT_EQ(sig, sign_hex(s, text));
        EXPECT_EQ(sig.substr(0, 2), "30");
        EXPECT_LE(sig.size(), 144u);
        EXPECT_TRUE(openssl_verify(s.pubhex, text, sig));
        EXPECT_FALSE(openssl_verify(s.pubhex, text + " ", sig));

        // Lower-S: normalising changes nothing.
        std::vector<unsigned char> der = hexToBytes(sig);
        secp256k1_ecdsa_signature parsed;
        ASSERT_TRUE(secp256k1_ecdsa_signature_parse_der(s.ctx, &parsed, der.data(), der.size()));
        EXPECT_EQ(secp256k1_ecdsa_signature_normalize(s.ctx, nullptr, &parsed), 0);
    }
    EXPECT_NE(sign_hex(s, "a"), sign_hex(s, "b"));
    Signer copy = s;
    EXPECT_EQ(sign_hex(copy, "a"), sign_hex(s, "a"));
    EXPECT_EQ(sign_hex(Signer{}, "a"), "");
}
