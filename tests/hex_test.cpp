#include <gtest/gtest.h>

#include "block/hex.h"
#include "block/json_text.h"

namespace {

std::vector<unsigned char> bytes(std::initializer_list<int> v) {
    std::vector<unsigned char> out;
    for (int b : v) out.push_back(static_cast<unsigned char>(b));
    return out;
}

std::string escaped(const std::string& s) {
    std::string out = "kept";  // appended to, never replaced
    json_escape(out, s);
    EXPECT_EQ(out.rfind("kept", 0), 0u);
    return out.substr(4);
}

}  // namespace

TEST(HexLower, WritesTwoLowercaseDigitsPerByte) {
    EXPECT_EQ(hexLower(nullptr, 0), "");
    const unsigned char three[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(hexLower(three, 3), "00abff");
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    std::string hex = hexLower(all.data(), all.size());
    ASSERT_EQ(hex.size(), 512u);
    EXPECT_EQ(hexToBytes(hex), all);
}

TEST(HexToBytes, PrefixAndOddLength) {
    EXPECT_TRUE(hexToBytes("").empty());
    EXPECT_TRUE(hexToBytes("0x").empty());
    EXPECT_EQ(hexToBytes("5"), bytes({0x05}));
    EXPECT_EQ(hexToBytes("0x5"), bytes({0x05}));
    EXPECT_EQ(hexToBytes("0X0aFF"), bytes({0x0a, 0xff}));
    EXPECT_EQ(hexToBytes("abc"), bytes({0x0a, 0xbc}));
    // Only one prefix is removed: "0x12" is left, read as pairs "0x" and "12".
    EXPECT_EQ(hexToBytes("0x0x12"), bytes({0x00, 0x12}));
}

TEST(HexToBytes, MalformedPairsFollowStrtoul) {
    EXPECT_EQ(hexToBytes("zz"), bytes({0x00}));
    EXPECT_EQ(hexToBytes("1g"), bytes({0x01}));
    EXPECT_EQ(hexToBytes("g1"), bytes({0x00}));
    EXPECT_EQ(hexToBytes(" f"), bytes({0x0f}));
    EXPECT_EQ(hexToBytes("+f"), bytes({0x0f}));
    EXPECT_EQ(hexToBytes("-1"), bytes({0xff}));
    EXPECT_EQ(hexToBytes("-f"), bytes({0xf1}));
}

TEST(HexToBytes, KeyLengths) {
    std::string key64(64, 'q');
    EXPECT_EQ(hexToBytes(key64).size(), 32u);
    EXPECT_EQ(hexToBytes(std::string(63, '1')).size(), 32u);
    EXPECT_EQ(hexToBytes(std::string(63, '1'))[0], 0x01);
    EXPECT_EQ(hexToBytes("0x" + std::string(64, '1')).size(), 32u);
}

TEST(NormHex, StripsPrefixZerosAndCase) {
    EXPECT_EQ(norm_hex_nopad_lower(""), "0");
    EXPECT_EQ(norm_hex_nopad_lower("0x"), "0");
    EXPECT_EQ(norm_hex_nopad_lower("0000"), "0");
    EXPECT_EQ(norm_hex_nopad_lower("0X00AbC"), "abc");
    EXPECT_EQ(norm_hex_nopad_lower("00ff00"), "ff00");
    EXPECT_EQ(norm_hex_nopad_lower("  12"), "  12");
    EXPECT_EQ(norm_hex_nopad_lower("-0x5"), "-0x5");
    EXPECT_EQ(norm_hex_nopad_lower("\xC3\x89Z"), "\xC3\x89z");  // only ASCII letters change
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytesOnly) {
    EXPECT_EQ(escaped(""), "");
    EXPECT_EQ(escaped("a\"b\\c\n"), "a\\\"b\\\\c\\u000a");
    EXPECT_EQ(escaped("\t\x01\x1f"), "\\u0009\\u0001\\u001f");
    EXPECT_EQ(escaped(std::string("\0", 1)), "\\u0000");
    EXPECT_EQ(escaped("\x7f\xC3\xA9/"), "\x7f\xC3\xA9/");
    EXPECT_EQ(escaped("\xff\xfe"), "\xff\xfe");  // invalid UTF-8 passes through
}
