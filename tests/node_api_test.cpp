#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "node/node_api.h"
#include "servers.h"
#include "support/raw_peer.h"

using nlohmann::json;

namespace {

// A real HTTP server whose replies are set per path.
struct ScriptedNode {
    std::mutex lock;
    std::map<std::string, devnet::HttpReply> replies;
    std::vector<std::string> targets;
    devnet::HttpServer server{"127.0.0.1", 0, [this](const std::string&, const std::string& target, const std::string&) {
                                  std::lock_guard<std::mutex> g(lock);
                                  targets.push_back(target);
                                  auto it = replies.find(target);
                                  return it == replies.end() ? devnet::HttpReply{404, "no"} : it->second;
                              }};
    std::string base() { return "http://127.0.0.1:" + std::to_string(server.port()); }
    void set(const std::string& path, unsigned status, const std::string& body) {
        std::lock_guard<std::mutex> g(lock);
        replies[path] = {status, body};
    }
};

struct HeightCase {
    std::string body;
    bool ok;
    std::uint64_t height;  // what the out-parameter holds afterwards (it starts at 77)
};

}  // namespace

TEST(NodeApi, HeightReplies) {
    ScriptedNode node;
    NodeApi api(node.base(), "");
    const HeightCase cases[] = {
        {"42", true, 42},          {"42\n", true, 42},         {"{\"height\":42}", true, 42},
        {"42abc", true, 42},       {"0", true, 0},             {"", false, 0},
        {"abc", false, 0},         {"{\"height\":\"12\"}", false, 0},
        {"{\"h\":1}", false, 77},  {"12.0", false, 77},        {"[1]", false, 77},
        {"null", false, 77},       {"{\"height\":12.9}", true, 12},
        {"-1", true, 18446744073709551615ULL},                 {"{\"height\":true}", false, 0},
    };
    for (const HeightCase& c : cases) {
        node.set("/height", 200, c.body);
        std::uint64_t h = 77;
        EXPECT_EQ(api.getBlockHeight(h), c.ok) << c.body;
        EXPECT_EQ(h, c.height) << c.body;
    }
}

TEST(NodeApi, DiffReplies) {
    ScriptedNode node;
    NodeApi api(node.base(), "");
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
    };
    for (const auto& c : cases) {
        node.set("/diff", 200, c.body);
        std::string d = "old";
        EXPECT_EQ(api.getDiff(d), c.ok) << c.body;
        EXPECT_EQ(d, c.diff) << c.body;
    }
}

TEST(NodeApi, BlockAndMempoolReplies) {
    ScriptedNode node;
    NodeApi api(node.base(), "");
    node.set("/block/7", 200, "{\"hash\":\"ab\"}");
    node.set("/block/0", 200, "null");
    json b = "untouched";
    EXPECT_TRUE(api.getBlock(7, b));
    EXPECT_EQ(b["hash"], "ab");
    EXPECT_TRUE(api.getBlock(0, b));
    EXPECT_TRUE(b.is_null());
    node.set("/block/1", 200, "not json");
    b = "untouched";
    EXPECT_FALSE(api.getBlock(1, b));
    EXPECT_EQ(b, "untouched");

    json m = json::array({1});
    node.set("/mempool", 200, "[{\"a\":1},2]");
    api.getMempool(m);
    EXPECT_EQ(m, json::parse("[{\"a\":1},2]"));
    node.set("/mempool", 200, "[]");
    api.getMempool(m);
    EXPECT_EQ(m, json::array());
    m = json::array({1});
    node.set("/mempool", 200, "{\"txs\":[]}");
    api.getMempool(m);
    EXPECT_EQ(m, json::array());
    m = json::array({1});
    node.set("/mempool", 200, "garbage");
    api.getMempool(m);
    EXPECT_EQ(m, json::array({1}));
}

TEST(NodeApi, OnlyStatus200Counts) {
    ScriptedNode node;
    NodeApi api(node.base(), "");
    for (unsigned status : {404u, 500u, 302u, 204u, 201u}) {
        node.set("/height", status, "42");
        node.set("/diff", status, "{\"diff\":\"ff\"}");
        node.set("/block/3", status, "{}");
        node.set("/mempool", status, "[1]");
        std::uint64_t h = 5;
        std::string d = "x";
        json b = "x", m = json::array();
        EXPECT_FALSE(api.getBlockHeight(h));
        EXPECT_FALSE(api.getDiff(d));
        EXPECT_FALSE(api.getBlock(3, b));
        api.getMempool(m);
        EXPECT_EQ(h, 5u);
        EXPECT_EQ(d, "x");
        EXPECT_EQ(b, "x");
        EXPECT_EQ(m, json::array());
    }
}

TEST(NodeApi, UrlsAreUsedVerbatim) {
    ScriptedNode node;
    NodeApi api(node.base() + "/", "");
    std::uint64_t h = 0;
    json b;
    api.getBlockHeight(h);
    api.getBlock(0, b);
    api.getBlock(18446744073709551615ULL, b);
    std::lock_guard<std::mutex> g(node.lock);
    EXPECT_EQ(node.targets, (std::vector<std::string>{"//height", "//block/0", "//block/18446744073709551615"}));
}

TEST(NodeApi, UnreachableNodeFailsQuietly) {
    int port;
    {
        ScriptedNode gone;
        port = gone.server.port();
    }
    testing::internal::CaptureStderr();
    NodeApi api("http://127.0.0.1:" + std::to_string(port), "ws://127.0.0.1:" + std::to_string(port));
    std::uint64_t h = 0;
    std::string d = "keep";
    EXPECT_FALSE(api.getBlockHeight(h));
    EXPECT_FALSE(api.getDiff(d));
    EXPECT_EQ(d, "keep");
    EXPECT_EQ(api.ws, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ws] connect failed: ws://127.0.0.1:" + std::to_string(port) + "\n");
}

TEST(NodeApi, ConnectsItsWebSocketAtConstruction) {
    devnet::WsServer ws("127.0.0.1", 0, {});
    const std::string url = "ws://127.0.0.1:" + std::to_string(ws.port());
    testing::internal::CaptureStderr();
    {
        NodeApi api("http://127.0.0.1:1", url);
        ASSERT_NE(api.ws, nullptr);
        EXPECT_GE(api.ws->fd.load(), 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ws] connected: " + url + "\n");
}

TEST(NodeApiReply, PureRules) {
    std::uint64_t h = 9;
    EXPECT_FALSE(node_reply::height("{\"height\":1e300}", h));  // beyond 64 bits: plain text reads 0
    EXPECT_EQ(h, 0u);
    std::string d;
    EXPECT_TRUE(node_reply::diff("\xff\xfe", d));  // not JSON, no trailing space
    EXPECT_EQ(d, "\xff\xfe");
}
