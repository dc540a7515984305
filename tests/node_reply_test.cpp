#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "block/json_depth.h"
#include "node/node_reply.h"

using nlohmann::json;

using namespace quorlen::block;
using namespace quorlen::node;

namespace {

struct HeightCase {
    std::string body;
    bool ok;
    std::uint64_t height;  // what the out-parameter holds afterwards (it starts at 77)
};

}  // namespace

TEST(NodeReply, Height) {
    const HeightCase cases[] = {
        {"42", true, 42},          {"42\n", true, 42},         {"{\"height\":42}", true, 42},
        {"42abc", true, 42},       {"0", true, 0},             {"", false, 0},
        {"abc", false, 0},         {"{\"height\":\"12\"}", false, 0},
        {"{\"h\":1}", false, 77},  {"12.0", false, 77},        {"[1]", false, 77},
        {"null", false, 77},       {"{\"height\":12.9}", true, 12},
        {"-1", false, 0},          {"{\"height\":-1}", false, 0}, {" -7abc", false, 0},
        {"{\"height\":true}", false, 0},
    };
    for (const HeightCase& c : cases) {
        std::uint64_t h = 77;
        EXPECT_EQ(node_reply::height(c.body, h), c.ok) << c.body;
        EXPECT_EQ(h, c.height) << c.body;
    }
    std::uint64_t h = 9;
    EXPECT_FALSE(node_reply::height("{\"height\":1e300}", h));  // beyond 64 bits: plain text reads 0
    EXPECT_EQ(h, 0u);
}

TEST(NodeReply, Diff) {
    struct Case {
        std::string body;
        bool ok;
        std::string diff;
    } cases[] = {
        {"{\"diff\":\"00FFab\"}", true, "00FFab"},
        {"00ffab", true, "00ffab"},
        {"00ffab\r\n", true, "00ffab"},
        {"  0fff  \t\n", true, "  0fff"},
        {"", false, "old"},
        {" \r\n ", false, "old"},
        {"12345", false, "old"},
        {"\"abc\"", false, "old"},
        {"{\"d\":1}", false, "old"},
        {"{\"diff\":7}\n", true, "{\"diff\":7}"},
        {"null", false, "old"},
        {"\xff\xfe", true, "\xff\xfe"},  // not JSON, no trailing space
    };
    for (const auto& c : cases) {
        std::string d = "old";
        EXPECT_EQ(node_reply::diff(c.body, d), c.ok) << c.body;
        EXPECT_EQ(d, c.diff) << c.body;
    }
}

// A target is written only when it can be mined against; otherwise the
// reason comes instead.
TEST(NodeReply, Target) {
    struct Case {
        std::string diff;
        bool ok;
        std::string target;  // starts as "old"
        std::string why;
    } cases[] = {
        {"0x00FFab", true, "ffab", ""},
        {std::string(64, 'f'), true, std::string(64, 'f'), ""},
        {"0fg", false, "old", "target holds characters that are neither hex digits nor blanks"},
        {std::string(65, 'f'), false, "old", "target of 65 hex digits (at most 64)"},
        {std::string(63, 'f') + " f", false, "old", "target wider than 32 bytes once read pair by pair"},
    };
    for (const auto& c : cases) {
        std::string target = "old", why;
        EXPECT_EQ(node_reply::target(c.diff, target, why), c.ok) << c.diff;
        EXPECT_EQ(target, c.target) << c.diff;
        EXPECT_EQ(why, c.why) << c.diff;
    }
}

TEST(NodeReply, BlockAndMempool) {
    json b = "untouched";
    EXPECT_TRUE(node_reply::block("{\"hash\":\"ab\"}", b));
    EXPECT_EQ(b["hash"], "ab");
    EXPECT_TRUE(node_reply::block("null", b));
    EXPECT_TRUE(b.is_null());
    b = "untouched";
    EXPECT_FALSE(node_reply::block("not json", b));
    EXPECT_EQ(b, "untouched");

    json m = json::array({1});
    EXPECT_TRUE(node_reply::mempool("[{\"a\":1},2]", m));
    EXPECT_EQ(m, json::parse("[{\"a\":1},2]"));
    EXPECT_TRUE(node_reply::mempool("[]", m));
    EXPECT_EQ(m, json::array());
    m = json::array({1});
    EXPECT_TRUE(node_reply::mempool("{\"txs\":[]}", m));
    EXPECT_EQ(m, json::array());
    m = json::array({1});
    EXPECT_FALSE(node_reply::mempool("garbage", m));
    EXPECT_EQ(m, json::array({1}));
}

TEST(NodeReply, NestingIsLimited) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::uint64_t h = 9;
    EXPECT_FALSE(node_reply::height(deep, h));
    json b = "untouched";
    EXPECT_FALSE(node_reply::block("{\"hash\":" + deep + "}", b));
    EXPECT_EQ(b, "untouched");
    EXPECT_TRUE(node_reply::block(std::string(64, '[') + std::string(64, ']'), b));
    EXPECT_FALSE(node_reply::block(std::string(65, '[') + std::string(65, ']'), b));
    EXPECT_EQ(json_text_depth("[\"[[[[\\\"[\",{\"a\":[1]}]"), 3u);

    // A deep entry is kept only as a mark, so that the others still count.
    json m;
    ASSERT_TRUE(node_reply::mempool("[{\"a\":1}, {\"mint\":" + deep + "} ,\"x\"]", m));
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], json::parse("{\"a\":1}"));
    EXPECT_TRUE(m[1].is_discarded());
    EXPECT_EQ(m[2], "x");
    m = json::array({1});
    EXPECT_FALSE(node_reply::mempool("[1,," + deep + "]", m));
    EXPECT_FALSE(node_reply::mempool("[1," + deep + "] 2", m));
    EXPECT_EQ(m, json::array({1}));
}
