// Fault drills: the node and the network misbehave in every way we know of,
// and the miner keeps hashing, reports every hit as sent or "FAIL", and stops
// on Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "node/node_api.h"
#include "net/servers.h"
#include "support/device.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/scripted_node.h"
#include "support/test_pki.h"

using nlohmann::json;

using namespace quorlen::node;

namespace {


// Every test here runs the miner on a device.
[[maybe_unused]] const testing::Environment* const kNeedsDevice = testing::AddGlobalTestEnvironment(new NeedsDevice);

std::vector<std::string> minerArgs(const std::string& http, const std::string& ws) {
    return miner_args({"--http", http, "--ws", ws});
}

// Ctrl-C must end the miner within this, whatever the node does. Under
// AddressSanitizer the waits are the same but the work around them is not:
// the passes in flight hash many times slower and the exit checks for leaks.
#if defined(__SANITIZE_ADDRESS__)
constexpr auto kCtrlCLimit = std::chrono::seconds(3);
#else
constexpr auto kCtrlCLimit = std::chrono::seconds(2);
#endif

// Sends Ctrl-C and measures the time until the miner has exited.
ProcessResult ctrlC(BackgroundProcess& miner, std::chrono::milliseconds& took) {
    const auto start = std::chrono::steady_clock::now();
    miner.signal(SIGINT);
    ProcessResult r = miner.wait(std::chrono::seconds(60));
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("[ctrl-c] exited %lld ms after SIGINT\n", static_cast<long long>(took.count()));
    return r;
}

// Runs the miner until `enough` holds (or 60 s), then stops it and checks the
// common promises: it hashed, every hit line says OK or FAIL, Ctrl-C works
// within the limit.
ProcessResult drill(const std::string& http, const std::string& ws, const std::function<bool(BackgroundProcess&)>& enough) {
    BackgroundProcess miner(minerArgs(http, ws), miner_env());
    const std::regex hashing("Hashrate: [1-9][0-9]* H/s");
    const bool reached =
        wait_until([&] { return enough(miner) && std::regex_search(miner.out(), hashing); }, 60000);
    std::chrono::milliseconds took{};
    ProcessResult r = ctrlC(miner, took);
    EXPECT_LT(took, kCtrlCLimit) << r.err;
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
    // Silent, or steady but never finished: given up at the limit of the
    // whole request.
    for (bool steady : {false, true}) {
        std::atomic<bool> quit{false};
        RawPeer peer([&](int fd) {
            read_http_head(fd);
            if (steady) write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n");
            const std::string piece(2048, '1');
            for (int i = 0; i < 26 && !quit; ++i) {
                if (steady) write_all(fd, piece);
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        });
        NodeApi api("http://127.0.0.1:" + std::to_string(peer.port()), "");
        std::uint64_t h = 5;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(api.getBlockHeight(h));
        const auto took = std::chrono::steady_clock::now() - start;
        quit = true;
        const auto limit = std::chrono::seconds(10);
        EXPECT_GE(took, limit - std::chrono::seconds(1)) << steady;
        EXPECT_LT(took, limit + std::chrono::seconds(2)) << steady;
        EXPECT_EQ(h, 5u);
    }
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

// What a peer wrote reaches the console escaped: a certificate, from a CA the
// user trusts, whose name holds escape sequences is quoted by the TLS
// library in the failure and switch lines, byte for byte but as \xNN.
TEST(Drill, PeerTextReachesTheConsoleEscaped) {
    const TestPki pki("\x1b[2J\x1b[H[submit] GPU#0 OK ws=1 hash=0\x07");
    quorlen::net::HttpServer https("127.0.0.1", 0,
                             [](const std::string&, const std::string&, const std::string&) {
                                 return quorlen::net::HttpReply{200, "7"};
                             },
                             {}, quorlen::net::ServerTls{pki.certFile(), pki.keyFile()});
    ScriptedNode backup;
    backup.set("/height", 200, "1");
    backup.set("/block/0", 200, "{\"hash\":\"00\"}");
    backup.set("/mempool", 200, "[]");
    std::vector<std::string> args = minerArgs("https://localhost:" + std::to_string(https.port()), "");
    args.insert(args.end(), {"--ca-file", pki.caFile(), "--backup-http", backup.httpUrl(), "--backup-ws",
                             backup.wsUrl()});
    BackgroundProcess miner(args, miner_env({{"DIFF_OVERRIDE", "0"}}));  // no hit: the refreshes make the switch
    const std::string quoted = "'\\x1b[2J\\x1b[H[submit] GPU#0 OK ws=1 hash=0\\x07'";
    EXPECT_TRUE(miner.waitForOutput("[node] switched to the backup node: ", std::chrono::seconds(60))) << miner.err();
    miner.signal(SIGINT);
    const ProcessResult r = miner.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("\n[node] /height failed: SSL: certificate subject name " + quoted), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("(3 refreshes in a row failed: SSL: certificate subject name " + quoted), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.err.find('\x07'), std::string::npos);
}

TEST(Drill, NodeAnswers500s) {
    ScriptedNode node;
    for (const char* path : {"/height", "/diff", "/mempool", "/block/0", "/block/2"}) node.set(path, 500, "{\"height\":3}");
    ProcessResult r = drill(node.httpUrl(), node.wsUrl(), [&](BackgroundProcess& p) { return hasSubmits(p, 2); });
    EXPECT_NE(r.out.find("OK ws=1"), std::string::npos);
}

TEST(Drill, NodeAnswersGarbage) {
    // Garbage is no target: /diff is named as failed, and with no target ever
    // read the miner mines at the easiest one, so its hits reach the node.
    for (const std::string body : {"\x01\x02 garbage {", "[[[[[[[[", "{\"height\":{\"x\":[]}}"}) {
        ScriptedNode node;
        for (const char* path : {"/height", "/diff", "/mempool", "/block/0", "/block/2"}) node.set(path, 200, body);
        ProcessResult r = drill(node.httpUrl(), node.wsUrl(), [&](BackgroundProcess& p) { return hasSubmits(p, 2); });
        EXPECT_NE(r.err.find("\n[node] /diff failed: "), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("OK ws=1"), std::string::npos) << r.out;
        EXPECT_TRUE(wait_until([&] { return !node.messages().empty(); }));
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
        quorlen::net::WsCallbacks cb;
        cb.onOpen = [&](const std::shared_ptr<quorlen::net::WsSession>&) { ++connections; };
        quorlen::net::WsServer ws("127.0.0.1", 0, cb);
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
    quorlen::net::WsCallbacks cb;
    cb.onOpen = [&](const std::shared_ptr<quorlen::net::WsSession>& s) {
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
    quorlen::net::WsServer ws("127.0.0.1", 0, cb);
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
        write_all(fd, ws_accept_reply(read_http_head(fd)));
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

// The node takes the WebSocket connection, floods it with pings and never
// reads, while a large pending transaction makes every block 6 MB: pongs
// and blocks pile up in the socket, and Ctrl-C must still work at once.
TEST(Drill, NodeStopsReadingTheWebSocket) {
    ScriptedNode http;
    json big = {{"sender", "02aa"}, {"receiver", "03bb"}, {"amount", 1}, {"signature", "s"},
                {"nonce", 1},       {"timestamp", 1},     {"token", std::string(6u << 20, 't')}};
    http.set("/mempool", 200, json::array({big}).dump());
    std::atomic<bool> quit{false};
    std::atomic<int> connections{0};
    RawPeer deaf(
        [&](int fd) {
            write_all(fd, ws_accept_reply(read_http_head(fd)));
            ++connections;
            const std::string ping("\x89\x7d" + std::string(125, 'p'), 127);
            while (!quit) {
                if (send(fd, ping.data(), ping.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                    if (errno != EAGAIN) return;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
        },
        true);
    const auto since = std::chrono::steady_clock::now();
    ProcessResult r = drill(http.httpUrl(), "ws://127.0.0.1:" + std::to_string(deaf.port()), [&](BackgroundProcess&) {
        // Long enough for the first blocks to fill the socket and block.
        return connections.load() > 0 && std::chrono::steady_clock::now() - since > std::chrono::seconds(8);
    });
    quit = true;
    EXPECT_NE(r.err.find("[ws] connected: "), std::string::npos) << r.err;
}

// A listener that never accepts: the connect at start-up (WebSocket) and
// the worker's first fetch (HTTP) both hang until their limits, and Ctrl-C
// must cut either short.
TEST(Drill, ListenerThatNeverAccepts) {
    FullBacklog never;
    const std::string port = std::to_string(never.port());
    for (bool withWs : {true, false}) {
        BackgroundProcess miner(minerArgs("http://127.0.0.1:" + port, withWs ? "ws://127.0.0.1:" + port : ""),
                                miner_env());
        // With a WebSocket, start-up sits in its connect; without, the
        // worker sits in its first fetch while the hash rate shows 0.
        if (withWs) ASSERT_TRUE(miner.waitForOutput("[tune] best", std::chrono::seconds(60)));
        else ASSERT_TRUE(miner.waitForOutput("Hashrate: 0 H/s", std::chrono::seconds(60), true));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::chrono::milliseconds took{};
        ProcessResult r = ctrlC(miner, took);
        EXPECT_LT(took, kCtrlCLimit) << withWs << r.err;
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.find("[submit]"), std::string::npos);
    }
}

// A TLS peer that takes the connection and never answers the client's
// hello: start-up sits in the TLS handshake, and Ctrl-C still ends the
// miner within the limit, without a block sent anywhere.
TEST(Drill, TlsPeerStallsMidHandshake) {
    std::atomic<bool> release{false};
    RawPeer stall(
        [&](int fd) {
            char hello[512];
            recv(fd, hello, sizeof hello, 0);
            wait_until([&] { return release.load(); }, 60000);
        },
        true);
    BackgroundProcess miner(minerArgs("http://127.0.0.1:1", "wss://127.0.0.1:" + std::to_string(stall.port())),
                            miner_env());
    ASSERT_TRUE(miner.waitForOutput("[tune] best", std::chrono::seconds(60)));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::chrono::milliseconds took{};
    ProcessResult r = ctrlC(miner, took);
    release = true;
    EXPECT_LT(took, kCtrlCLimit) << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find("[submit]"), std::string::npos);
}

// A node that drips its height a byte at a time (and answers nothing else):
// the fetch is given up at the request's limit and mining goes on between
// fetches; Ctrl-C ends a transfer in progress within its grace, silently.
TEST(Drill, NodeDripsItsReplies) {
    std::atomic<bool> quit{false};
    RawPeer drip(
        [&](int fd) {
            if (read_http_head(fd).rfind("GET /height ", 0) != 0) {
                write_all(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                return;
            }
            write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
            while (!quit && send(fd, "1", 1, MSG_NOSIGNAL) == 1) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        },
        true);
    ProcessResult r = drill("http://127.0.0.1:" + std::to_string(drip.port()), "", [](BackgroundProcess& p) {
        return p.err().find("[node] /height failed: Timeout was reached") != std::string::npos;
    });
    quit = true;
    EXPECT_EQ(r.err.find("stopping"), std::string::npos) << r.err;
}

// Started with its standard streams closed, as some service managers do: the
// WebSocket must not take their numbers, so the node gets nothing but
// whole blocks, and a hang-up stops it as cleanly as Ctrl-C. With its output
// piped into a reader that goes away (`| grep -m1 submit`), the miner stops by
// itself just as cleanly, its final statistics on standard error.
TEST(Drill, ClosedOrBrokenConsoleAndHangUp) {
    for (const std::string redirect : {">&- 2>&-", "> >(grep -m1 -a submit >/dev/null)"}) {
        const bool closed = redirect.find("2>&-") != std::string::npos;
        ScriptedNode node;  // HTTP answers 404: every hash is a hit, a block every pass
        std::vector<std::string> argv = {"/bin/bash", "-c", "exec \"$0\" \"$@\" " + redirect};
        for (const std::string& a : minerArgs(node.httpUrl(), node.wsUrl())) argv.push_back(a);
        BackgroundProcess miner(argv, miner_env());
        if (!closed) {
            ProcessResult r = miner.wait(std::chrono::seconds(60));
            EXPECT_FALSE(r.timedOut);
            EXPECT_EQ(r.exitCode, 0) << "signal " << r.signal;
            EXPECT_FALSE(node.messages().empty());
            EXPECT_NE(r.err.find("[console] standard output's reader has gone; stopping\n"), std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("[stats] rig"), std::string::npos) << r.err;  // the final statistics
            continue;
        }
        EXPECT_TRUE(wait_until([&] { return node.messages().size() >= 8; }, 60000)) << redirect;
        for (const std::string& m : node.messages())
            EXPECT_EQ(m.rfind("{\"event\":\"block\",\"data\":{\"timestamp\":", 0), 0u) << m.substr(0, 200);
        for (int fd : {1, 2}) {  // held by /dev/null, not by a socket that would get the console's text
            char target[256] = {};
            const std::string link = "/proc/" + std::to_string(miner.pid()) + "/fd/" + std::to_string(fd);
            EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
            EXPECT_STREQ(target, "/dev/null") << fd;
        }
        miner.signal(SIGHUP);
        ProcessResult r = miner.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.exitCode, 0) << redirect << " signal " << r.signal;
    }
}
