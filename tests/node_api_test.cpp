#include <gtest/gtest.h>

#include <fstream>
#include <atomic>
#include <thread>

#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include "node/node_api.h"
#include "net/servers.h"
#include "support/raw_peer.h"
#include "support/scratch.h"
#include "support/scripted_node.h"
#include "support/test_pki.h"

using nlohmann::json;

using namespace quorlen::block;
using namespace quorlen::node;

TEST(NodeApi, OnlyStatus200Counts) {
    ScriptedNode node;
    NodeApi api(node.httpUrl(), "");
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
    NodeApi api(node.httpUrl() + "/", "");
    std::uint64_t h = 0;
    json b;
    // Only the targets asked for matter here, not what the node answered.
    (void)api.getBlockHeight(h);
    (void)api.getBlock(0, b);
    (void)api.getBlock(18446744073709551615ULL, b);
    EXPECT_EQ(node.targets(), (std::vector<std::string>{"//height", "//block/0", "//block/18446744073709551615"}));
}

TEST(NodeApi, UnreachableNodeFailsQuietly) {
    const int port = free_port();
    testing::internal::CaptureStderr();
    NodeApi api("http://127.0.0.1:" + std::to_string(port), "ws://127.0.0.1:" + std::to_string(port));
    std::uint64_t h = 0;
    std::string d = "keep";
    EXPECT_FALSE(api.getBlockHeight(h));
    EXPECT_FALSE(api.getDiff(d));
    EXPECT_EQ(d, "keep");
    EXPECT_FALSE(api.ws_connected());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ws] connect failed: ws://127.0.0.1:" + std::to_string(port) + "\n");
    // A base that reaches past HTTP is never read, whatever it holds.
    ScratchDir dir;
    dir.write("height", "{\"height\":7}");
    NodeApi local("file://" + dir.path(), "");
    EXPECT_FALSE(local.getBlockHeight(h));
    EXPECT_EQ(h, 0u);
    EXPECT_NE(local.last_error().find("Unsupported protocol"), std::string::npos) << local.last_error();
}

TEST(NodeApi, ConnectsItsWebSocketAtConstruction) {
    quorlen::net::WsServer ws("127.0.0.1", 0, {});
    const std::string url = "ws://127.0.0.1:" + std::to_string(ws.port());
    testing::internal::CaptureStderr();
    {
        NodeApi api("http://127.0.0.1:1", url);
        EXPECT_TRUE(api.ws_connected());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ws] connected: " + url + "\n");
}

// Over TLS both channels trust the CA they are given, and only it: without
// it nothing reaches the node, and each refusal says why in one line.
TEST(NodeApi, HttpsAndWssTrustWhatTheyAreTold) {
    const TestPki pki;
    const quorlen::net::ServerTls tls{pki.certFile(), pki.keyFile()};
    ScriptedNode node(tls);
    node.set("/height", 200, "{\"height\":5}");
    std::atomic<int> received{0};
    quorlen::net::WsServer ws("127.0.0.1", 0, {nullptr, [&](const auto&, const std::string&) { ++received; }, nullptr, nullptr},
                        {}, tls);
    const std::string wsUrl = "wss://localhost:" + std::to_string(ws.port()) + "/n";
    std::uint64_t h = 0;
    testing::internal::CaptureStderr();
    {
        NodeApi api(node.httpUrl(), wsUrl, {}, nullptr, TlsTrust{pki.caFile()});
        EXPECT_TRUE(api.getBlockHeight(h));
        EXPECT_EQ(h, 5u);
        EXPECT_TRUE(api.ws_connected());
        EXPECT_TRUE(api.send_block_event("{\"event\":\"block\"}"));
        EXPECT_TRUE(wait_until([&] { return received.load() == 1; }));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ws] connected: " + wsUrl + "\n");

    const size_t asked = node.targets().size();
    testing::internal::CaptureStderr();
    {
        NodeApi api(node.httpUrl(), wsUrl);  // the system's store knows no such CA
        h = 9;
        EXPECT_FALSE(api.getBlockHeight(h));
        EXPECT_EQ(h, 9u);
        EXPECT_EQ(api.last_error(), "SSL certificate problem: unable to get local issuer certificate");
        EXPECT_FALSE(api.ws_connected());
        EXPECT_FALSE(api.send_block_event("{\"event\":\"block\"}"));
    }
    const std::string why = " (certificate verify failed: unable to get local issuer certificate)\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ws] connect failed: " + wsUrl + why + "[ws] reconnect failed: " + wsUrl + why);
    EXPECT_EQ(node.targets().size(), asked);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(received.load(), 1);

    // Without --ca-file both channels read the same store, wherever the TLS
    // library's variables point it.
    setenv("SSL_CERT_FILE", pki.caFile().c_str(), 1);
    testing::internal::CaptureStderr();
    {
        NodeApi api(node.httpUrl(), wsUrl);
        EXPECT_TRUE(api.getBlockHeight(h)) << api.last_error();
        EXPECT_TRUE(api.ws_connected());
    }
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ws] connected: " + wsUrl + "\n");
}

namespace {

long peakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace

// Replies are capped: an endless one fails the fetch with one reason, and
// what came so far is never held beyond the cap.
TEST(NodeApi, RepliesAreCapped) {
    std::atomic<long long> streamed{0};
    RawPeer endless(
        [&](int fd) {
            read_http_head(fd);
            write_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
            const std::string chunk = "100000\r\n" + std::string(0x100000, '7') + "\r\n";
            for (int i = 0; i < 400; ++i) {
                if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) return;
                streamed += static_cast<long long>(chunk.size());
            }
        },
        true);
    RawPeer announced([](int fd) {
        read_http_head(fd);
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 300000000\r\n\r\n[");
    }, true);
    const long before = peakRssKb();
    NodeApi api("http://127.0.0.1:" + std::to_string(endless.port()), "");
    std::uint64_t h = 5;
    EXPECT_FALSE(api.getBlockHeight(h));
    EXPECT_EQ(h, 5u);
    EXPECT_EQ(api.last_error(), "reply larger than 1048576 bytes");
    json m = json::array({1});
    api.getMempool(m);
    EXPECT_EQ(m, json::array({1}));
    EXPECT_EQ(api.last_error(), "reply larger than 8388608 bytes");
    // Far below the 400 MiB the peer offers; ThreadSanitizer's allocator
    // holds on to more of what was freed.
#if defined(__SANITIZE_THREAD__)
    const long slackKb = 256 * 1024;
#else
    const long slackKb = 64 * 1024;
#endif
    EXPECT_LT(peakRssKb() - before, slackKb) << "streamed " << streamed.load();

    NodeApi told("http://127.0.0.1:" + std::to_string(announced.port()), "");
    EXPECT_FALSE(told.getBlock(1, m));
    EXPECT_EQ(told.last_error(), "reply larger than 8388608 bytes");
}

// A node that answers slowly is read: only the 10 s limit of the whole
// request ends a transfer, or a stop request's grace.
TEST(NodeApi, SlowRepliesAndStopRequests) {
    RawPeer slow([](int fd) {
        read_http_head(fd);
        std::this_thread::sleep_for(std::chrono::seconds(4));
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n42");
    });
    std::uint64_t h = 0;
    NodeApi patient("http://127.0.0.1:" + std::to_string(slow.port()), "");
    EXPECT_TRUE(patient.getBlockHeight(h)) << patient.last_error();
    EXPECT_EQ(h, 42u);

    std::atomic<bool> quit{false};
    RawPeer drip(
        [&](int fd) {
            read_http_head(fd);
            write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
            while (!quit && send(fd, "1", 1, MSG_NOSIGNAL) == 1) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        },
        true);
    std::atomic<bool> stop{false};
    NodeApi api("http://127.0.0.1:" + std::to_string(drip.port()), "", &stop);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(api.getBlockHeight(h));
    stopper.join();
    const auto took = std::chrono::steady_clock::now() - start - std::chrono::milliseconds(300);
    EXPECT_GE(took, std::chrono::milliseconds(StopGrace::kGraceMs - 200));
    EXPECT_LT(took, std::chrono::milliseconds(StopGrace::kGraceMs + 400));
    EXPECT_TRUE(api.cut_short());
    quit = true;
}

// Work under way at a stop request, or that a block found just before it
// needs, still reaches a node that is up; past the grace nothing new starts
// and nothing cut short is reported as a failure.
TEST(NodeApi, AStopLetsWorkUnderWayFinishWithinItsGrace) {
    ScriptedNode node;
    node.set("/height", 200, "42");
    const std::string url = node.wsUrl();
    std::atomic<bool> stop{true};
    testing::internal::CaptureStderr();
    NodeApi api(node.httpUrl(), url, &stop);
    std::uint64_t h = 0;
    EXPECT_TRUE(api.getBlockHeight(h));
    EXPECT_EQ(h, 42u);
    auto dropped = [&] {
        for (const auto& s : node.ws().sessions()) s->drop();
        return wait_until([&] { return !api.ws_connected(); });
    };
    ASSERT_TRUE(dropped());
    EXPECT_TRUE(api.send_block_event("{\"event\":\"block\"}"));  // repaired and sent
    EXPECT_TRUE(wait_until([&] { return node.messages().size() == 1; }));

    std::this_thread::sleep_for(std::chrono::milliseconds(StopGrace::kGraceMs + 100));
    EXPECT_FALSE(api.getBlockHeight(h));
    EXPECT_TRUE(api.cut_short());
    ASSERT_TRUE(dropped());
    EXPECT_FALSE(api.send_block_event("{\"event\":\"block\"}"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ws] connected: " + url + "\n[ws] reconnected: " + url + "\n");
    EXPECT_EQ(node.targets(), std::vector<std::string>{"/height"});  // nothing after the grace
}

// A primary whose WebSocket is gone and whose HTTP fails on demand, a backup
// on the same chain: blocks go where they can be taken, on the tip they were
// found on, and the client returns once the primary has answered long enough.
TEST(NodeApi, BackupTakesOverAndThePrimaryGetsItBack) {
    ScriptedNode primary, backup;
    for (ScriptedNode* n : {&primary, &backup}) {
        n->set("/height", 200, "5");
        n->set("/block/4", 200, "{\"hash\":\"aa\"}");
    }
    primary.set("/diff", 200, "ff");
    backup.set("/diff", 200, "0f");
    const std::string backupWs = backup.wsUrl();
    const std::string deadWs = "ws://127.0.0.1:" + std::to_string(free_port());
    testing::internal::CaptureStderr();
    NodeApi api(primary.httpUrl(), deadWs);
    api.add_backup(std::make_unique<NodeClient>(backup.httpUrl(), backupWs), FailoverTimes{100, 300});
    EXPECT_FALSE(api.on_backup());

    // The primary cannot take a block: the backup, on the same tip, does.
    const BuiltOn onA{5, "aa", 0};
    EXPECT_TRUE(api.send_block_event("{\"n\":1}", "", &onA));
    EXPECT_TRUE(api.on_backup());
    EXPECT_EQ(api.switches(), 1u);
    EXPECT_TRUE(wait_until([&] { return backup.messages().size() == 1; }));
    std::string diff;
    EXPECT_TRUE(api.getDiff(diff));
    EXPECT_EQ(diff, "0f");
    // Found on a tip neither node has: sent nowhere, and said so.
    const BuiltOn onZ{5, "zz", 0};
    EXPECT_FALSE(api.send_block_event("{\"n\":2}", "", &onZ));
    EXPECT_TRUE(api.last_block_stale());
    EXPECT_TRUE(api.on_backup());
    // Found on the primary's tip, which only the primary still has: it goes
    // there, on the primary's own connection (down here), without a switch.
    primary.set("/block/4", 200, "{\"hash\":\"zz\"}");
    EXPECT_FALSE(api.send_block_event("{\"n\":3}", "", &onZ));
    EXPECT_FALSE(api.last_block_stale());
    EXPECT_TRUE(api.on_backup());
    primary.set("/block/4", 200, "{\"hash\":\"aa\"}");

    // The primary answers its probes; after the period the client returns.
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t h = 0;
    EXPECT_TRUE(wait_until([&] { return api.getBlockHeight(h) && !api.on_backup(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(api.switches(), 2u);

    // Three failed refreshes in a row: the backup again, and it stays while
    // the primary is silent.
    primary.set("/height", 500, "down");
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(api.on_backup()) << i;
        EXPECT_FALSE(api.getBlockHeight(h));
        EXPECT_EQ(api.last_error(), "HTTP status 500");
    }
    EXPECT_TRUE(api.on_backup());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(api.getBlockHeight(h));
    EXPECT_TRUE(api.getBlockHeight(h));
    EXPECT_TRUE(api.on_backup());
    EXPECT_EQ(api.switches(), 3u);
    // The backup fails in its turn while the primary answers: back at the
    // third failure; with both silent, no switch at all.
    backup.set("/height", 500, "down");
    primary.set("/height", 200, "5");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(api.getBlockHeight(h));
    EXPECT_FALSE(api.on_backup());
    primary.set("/height", 500, "down");
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(api.getBlockHeight(h));
    EXPECT_FALSE(api.on_backup());
    EXPECT_EQ(api.switches(), 4u);
    EXPECT_EQ(backup.messages().size(), 1u);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string toBackup = "\n[node] switched to the backup node: " + backup.httpUrl() + " " + backupWs + " (";
    EXPECT_NE(err.find(toBackup + "a block could not be sent to the primary)\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[ws] reconnect failed: " + deadWs + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\n[node] switched back to the primary node: " + primary.httpUrl() + " " + deadWs +
                       " (it answers again)\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(toBackup + "3 refreshes in a row failed: HTTP status 500)\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\n[node] switched back to the primary node: " + primary.httpUrl() + " " + deadWs +
                       " (3 refreshes in a row failed: HTTP status 500)\n"),
              std::string::npos)
        << err;
}
