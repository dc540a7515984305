#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "block/canonical.h"

using namespace quorlen::block;

namespace {

// The worked example: two transactions, optional members, an extra member.
json workedExample() {
    json tx1 = {{"sender", "03ef"},   {"receiver", "02ab"},       {"amount", 5},
                {"signature", "3045"}, {"nonce", 3},              {"timestamp", 1699999999000ULL},
                {"unlock", nullptr},   {"token", "demo"},         {"mint", {{"b", 2}, {"a", "x"}}},
                {"fee", 1}};
    json tx2 = {{"sender", "network"}, {"receiver", "02ab"}, {"amount", 930}, {"signature", ""},
                {"nonce", 77},         {"timestamp", 1700000000123ULL}};
    return {{"timestamp", 1700000000123ULL}, {"prev_hash", "00ab"}, {"nonce", 123456789},
            {"proposer", "02ab"},            {"diff", "ffff"},      {"signature", ""},
            {"hash", ""},                    {"transactions", json::array({tx1, tx2})}};
}

const std::string kHead = R"({"timestamp":1700000000123,"transactions":[)";
const std::string kTx1 =
    R"({"sender":"03ef","receiver":"02ab","amount":5,"signature":"3045","nonce":3,"timestamp":1699999999000,"token":"demo","mint":{"a":"x","b":2}})";
const std::string kTx2 =
    R"({"sender":"network","receiver":"02ab","amount":930,"signature":"","nonce":77,"timestamp":1700000000123})";

json minimalBlock(json txs = json::array()) {
    return {{"timestamp", 1}, {"prev_hash", ""}, {"nonce", 2}, {"proposer", "p"}, {"diff", "d"},
            {"transactions", std::move(txs)}};
}

json tx(json extra = json::object()) {
    json t = {{"sender", "s"}, {"receiver", "r"}, {"amount", 1}, {"signature", ""}, {"nonce", 0}, {"timestamp", 9}};
    t.update(extra);
    return t;
}

std::string txText(const json& t) { return canonical_msg(minimalBlock(json::array({t}))); }

}  // namespace

TEST(CanonicalMsg, WorkedExample) {
    EXPECT_EQ(canonical_msg(workedExample()),
              kHead + kTx1 + "," + kTx2 +
                  R"(],"prev_hash":"00ab","nonce":123456789,"signature":"","proposer":"02ab","hash":"","diff":"ffff"})");
}

TEST(SubmittedDocument, WorkedExampleAndEnvelope) {
    std::string doc = build_block_for_submit(workedExample(), "3006020101020101", "1a2b");
    EXPECT_EQ(doc, kHead + kTx1 + "," + kTx2 +
                       R"(],"prev_hash":"00ab","nonce":123456789,"signature":"3006020101020101","proposer":"02ab","hash":"1a2b","diff":"ffff"})");
    EXPECT_EQ(block_event_message(doc), R"({"event":"block","data":)" + doc + "}");
    EXPECT_NE(build_block_for_submit(workedExample(), "", "0").find(R"("signature":"","proposer":"02ab","hash":"0")"),
              std::string::npos);
}

TEST(CanonicalMsg, BlockSignatureAndHashAreNeverRead) {
    json a = workedExample();
    json b = a;
    b["signature"] = "abc";
    b["hash"] = "def";
    json c = a;
    c.erase("signature");
    c.erase("hash");
    EXPECT_EQ(canonical_msg(a), canonical_msg(b));
    EXPECT_EQ(canonical_msg(a), canonical_msg(c));
}

TEST(CanonicalMsg, TransactionsContainer) {
    const std::string empty = canonical_msg(minimalBlock());
    EXPECT_NE(empty.find(R"("transactions":[],"prev_hash":")"), std::string::npos);
    EXPECT_EQ(canonical_msg(minimalBlock(nullptr)), empty);
    EXPECT_EQ(canonical_msg(minimalBlock(json::object())), empty);
    EXPECT_THROW(canonical_msg(minimalBlock(json{{"k", 1}})), json::type_error);
    EXPECT_THROW(canonical_msg(minimalBlock("str")), json::type_error);
    EXPECT_THROW(canonical_msg(minimalBlock(5)), json::type_error);
}

TEST(CanonicalMsg, OptionalMembers) {
    EXPECT_EQ(txText(tx({{"unlock", nullptr}})), txText(tx()));
    EXPECT_EQ(txText(tx({{"unlock", nullptr}, {"token", nullptr}, {"mint", nullptr}})), txText(tx()));
    EXPECT_NE(txText(tx({{"unlock", 7}})).find(R"("timestamp":9,"unlock":7})"), std::string::npos);
    // Fixed order unlock, token, mint whatever the input order.
    EXPECT_NE(txText(tx({{"mint", 1}, {"token", "t"}, {"unlock", 2}})).find(R"("unlock":2,"token":"t","mint":1})"),
              std::string::npos);
    EXPECT_NE(txText(tx({{"mint", json::array({1, "a", nullptr})}})).find(R"("mint":[1,"a",null])"),
              std::string::npos);
    // The library's escaping applies inside mint, not ours.
    EXPECT_NE(txText(tx({{"mint", "a\nb"}})).find(R"("mint":"a\nb")"), std::string::npos);
}

TEST(CanonicalMsg, NumberRendering) {
    EXPECT_NE(txText(tx({{"amount", -1}})).find(R"("amount":18446744073709551615,)"), std::string::npos);
    EXPECT_NE(txText(tx({{"amount", 2.9}})).find(R"("amount":2,)"), std::string::npos);
    EXPECT_NE(txText(tx({{"amount", 18446744073709551615ULL}})).find(R"("amount":18446744073709551615,)"),
              std::string::npos);
    EXPECT_NE(txText(tx({{"amount", -1.5}})).find(R"("amount":18446744073709551615,)"), std::string::npos);
    EXPECT_THROW(txText(tx({{"amount", true}})), json::type_error);
    EXPECT_THROW(txText(tx({{"amount", "5"}})), json::type_error);
    // Floats beyond 64 bits cannot be truncated meaningfully: refused.
    EXPECT_THROW(txText(tx({{"amount", 1e30}})), std::domain_error);
    EXPECT_THROW(txText(tx({{"amount", -1e30}})), std::domain_error);
}

TEST(CanonicalMsg, Errors) {
    try {
        txText(tx({{"amount", true}}));
        FAIL();
    } catch (const json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("type must be number, but is boolean"), std::string::npos);
    }
    try {
        txText(tx({{"sender", 3}}));
        FAIL();
    } catch (const json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("type must be string, but is number"), std::string::npos);
    }
    json noSig = tx();
    noSig.erase("signature");
    try {
        txText(noSig);
        FAIL();
    } catch (const json::out_of_range& e) {
        EXPECT_NE(std::string(e.what()).find("key 'signature' not found"), std::string::npos);
    }
    EXPECT_THROW(canonical_msg(json::array()), json::type_error);
    EXPECT_THROW(txText(tx({{"mint", "\xff"}})), json::type_error);  // invalid UTF-8 in compact JSON
}

TEST(CanonicalMsg, EscapingOfStrings) {
    json b = minimalBlock();
    b["prev_hash"] = "q\"\nz\x7f";
    EXPECT_NE(canonical_msg(b).find(R"("prev_hash":"q\"\u000az)" "\x7f\""), std::string::npos);
}

TEST(SubmittedDocument, BlankingRoundTripsToTheCanonicalText) {
    json docs[] = {workedExample(), minimalBlock(json::array({tx({{"token", "\"\\\x01\xC3\xA9"}})}))};
    for (const json& block : docs) {
        const std::string text = canonical_msg(block);
        json parsed = json::parse(text);
        std::string doc = build_block_for_submit(parsed, "30440220", "abc");
        json back = json::parse(doc);
        EXPECT_EQ(back["signature"], "30440220");
        EXPECT_EQ(back["hash"], "abc");
        back["signature"] = "";
        back["hash"] = "";
        EXPECT_EQ(canonical_msg(back), text);
    }
}
