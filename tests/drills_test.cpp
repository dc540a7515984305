// Fault drills: the node and the network misbehave in every way we know of,
// and the miner keeps hashing, reports every hit as sent or "FAIL", and stops
// on Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <mutex>
#include <regex>
#include <set>

#include "node/node_api.h"
#include "servers.h"
#include "support/device.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/scripted_node.h"

namespace {


// Every test here runs the miner on a device.
[[maybe_unused]] const testing::Environment* const kNeedsDevice = testing::AddGlobalTestEnvironment(new NeedsDevice);

const std::string kKey = "3f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100";

std::vector<std::string> minerArgs(const std::string& http, const std::string& ws) {
    return {MINER_BINARY, "--priv", kKey, "--goida", "--http", http, "--ws", ws, "--step-seconds", "1",
            "--warmup-seconds", "0", "--start-batch", "2", "--max-batch", "2"};
}

// Runs the miner until `enough` holds (or 60 s), then stops it and checks the
// common promises: it hashed, every hit line says OK or FAIL, Ctrl-C works.
ProcessResult drill(const std::string& http, const std::string& ws, const std::function<bool(BackgroundProcess&)>& enough) {
    BackgroundProcess miner(minerArgs(http, ws), {{"DIFF_OVERRIDE", std::nullopt}});
    const std::regex hashing("Hashrate: [1-9][0-9]* H/s");
    const bool reached =
        wait_until([&] { return enough(miner) && std::regex_search(miner.out(), hashing); }, 60000);
    miner.signal(SIGINT);
    ProcessResult r = miner.wait(std::chrono::seconds(30));
    EXPECT_TRUE(reached) << r.err;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, hashing)) << r.out;
    std::smatch m;
    std::string rest = r.out;
    while (std::regex_search(rest, m, std::regex("\\[submit\\] GPU#0 ([A-Z]+) ws=([01])"))) {
        EXPECT_TRUE((m[1] == "OK" && m[2] == "1") || (m[1] == "FAIL" && m[2] == "0")) << m[0];
        rest = m.suffix();
    }
    return r;
}

bool hasSubmits(BackgroundProcess& p, size_t n) {
    const std::string out = p.out();
    size_t count = 0;
    for (size_t at = out.find("[submit]"); at != std::string::npos; at = out.find("[submit]", at + 1)) ++count;
    return count >= n;
}

}  // namespace

TEST(Drill, HttpTransferLimitHolds) {
    RawPeer silent([](int fd) {
        read_http_head(fd);
        std::this_thread::sleep_for(std::chrono::seconds(13));  // never answers in time
    });
    NodeApi api("http://127.0.0.1:" + std::to_string(silent.port()), "");
    std::uint64_t h = 5;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(api.getBlockHeight(h));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(9));
    EXPECT_LT(took, std::chrono::seconds(12));
    EXPECT_EQ(h, 5u);
}

TEST(Drill, SilentHandshakeGivesUp) {
    RawPeer silent([](int fd) {
        read_http_head(fd);
        std::this_thread::sleep_for(std::chrono::seconds(12));
    });
    WsPlain ws;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:" + std::to_string(silent.port())));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    EXPECT_LT(ws.fd.load(), 0);
}

TEST(Drill, NodeAnswers500s) {
    ScriptedNode node;
    for (const char* path : {"/height", "/diff", "/mempool", "/block/0", "/block/2"}) node.set(path, 500, "{\"height\":3}");
    ProcessResult r = drill(node.httpUrl(), node.wsUrl(), [&](BackgroundProcess& p) { return hasSubmits(p, 2); });
    EXPECT_NE(r.out.find("OK ws=1"), std::string::npos);
}

TEST(Drill, NodeAnswersGarbage) {
    // Garbage read as a target is a tiny number: the miner hashes on and, as
    // it should, finds nothing good enough to send.
    for (const std::string body : {"\x01\x02 garbage {", "[[[[[[[[", "{\"height\":{\"x\":[]}}"}) {
        ScriptedNode node;
        for (const char* path : {"/height", "/diff", "/mempool", "/block/0", "/block/2"}) node.set(path, 200, body);
        drill(node.httpUrl(), node.wsUrl(), [&](BackgroundProcess&) { return true; });
    }
}

TEST(Drill, NodeRefusesConnections) {
    ProcessResult r = drill("http://127.0.0.1:1", "ws://127.0.0.1:1", [](BackgroundProcess& p) { return hasSubmits(p, 2); });
    EXPECT_NE(r.out.find("FAIL ws=0"), std::string::npos);
    EXPECT_NE(r.err.find("[ws] reconnect failed: ws://127.0.0.1:1"), std::string::npos);
}

TEST(Drill, WebSocketAcceptsThenDropsOrCloses) {
    for (bool closeFrame : {false, true}) {
        ScriptedNode http;
        std::atomic<int> connections{0};
        devnet::WsCallbacks cb;
        cb.onOpen = [&](const std::shared_ptr<devnet::WsSession>&) { ++connections; };
        devnet::WsServer ws("127.0.0.1", 0, cb);
        // Every connection is ended soon after it opens: dropped, or closed
        // with a close frame.
        auto endConnections = [&] {
            for (const auto& s : ws.sessions()) {
                if (closeFrame) s->close();
                else s->drop();
            }
        };
        ProcessResult r = drill(http.httpUrl(), "ws://127.0.0.1:" + std::to_string(ws.port()), [&](BackgroundProcess& p) {
            endConnections();
            return hasSubmits(p, 3) && connections.load() >= 3;
        });
        // Hits found the connection gone and made new ones.
        EXPECT_GE(connections.load(), 3) << r.out << r.err;
        EXPECT_NE(r.out.find("OK ws=1"), std::string::npos);
    }
}

TEST(Drill, WebSocketFloodsPings) {
    ScriptedNode http;
    std::atomic<int> pongs{0}, opened{0}, closed{0};
    std::mutex lock;
    std::set<std::string> sent, strays;
    devnet::WsCallbacks cb;
    cb.onOpen = [&](const std::shared_ptr<devnet::WsSession>& s) {
        if (opened++ != 0) return;  // flood the first connection only
        std::lock_guard<std::mutex> g(lock);
        for (int i = 0; i < 2000; ++i) {
            sent.insert("flood " + std::to_string(i));
            s->ping("flood " + std::to_string(i));
        }
    };
    cb.onPong = [&](const auto&, const std::string& payload) {
        std::lock_guard<std::mutex> g(lock);
        if (!sent.count(payload)) strays.insert(payload);
        ++pongs;
    };
    cb.onClose = [&](const auto&) { ++closed; };
    devnet::WsServer ws("127.0.0.1", 0, cb);
    ProcessResult r = drill(http.httpUrl(), "ws://127.0.0.1:" + std::to_string(ws.port()), [&](BackgroundProcess& p) {
        return hasSubmits(p, 3) && (pongs.load() >= 2000 || closed.load() > 0);
    });
    std::lock_guard<std::mutex> g(lock);
    EXPECT_TRUE(strays.empty());  // every pong carries a ping's payload
    // While the connection lives, every ping is answered.
    if (closed.load() == 0) {
        EXPECT_EQ(pongs.load(), 2000);
    }
    EXPECT_NE(r.out.find("OK ws=1"), std::string::npos);
}

TEST(Drill, WebSocketAnnouncesAnImpossibleFrame) {
    ScriptedNode http;
    RawPeer liar([](int fd) {
        read_http_head(fd);
        write_all(fd, "HTTP/1.1 101 Switching Protocols\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        write_all(fd, std::string("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10));
        char c;
        while (recv(fd, &c, 1, 0) > 0) {
        }
    });
    ProcessResult r = drill(http.httpUrl(), "ws://127.0.0.1:" + std::to_string(liar.port()),
                            [](BackgroundProcess& p) { return hasSubmits(p, 2); });
    // The liar served one connection; later hits find nobody and say so.
    EXPECT_NE(r.out.find("FAIL ws=0"), std::string::npos) << r.out;
}
