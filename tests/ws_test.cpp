#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <regex>

#include "node/node_verdict.h"
#include "node/ws_plain.h"
#include "node/ws_url.h"
#include "net/servers.h"
#include "support/raw_peer.h"
#include "support/recording_ws_server.h"
#include "support/scratch.h"
#include "support/test_pki.h"

using namespace quorlen::node;

namespace {

// One CA and node certificate for the whole program: making keys is slow
// under the sanitizers.
const TestPki& pki() {
    static const TestPki made;
    return made;
}

// The test CA's node certificate for a server over TLS, or none.
quorlen::net::ServerTls nodeTls(bool tls) {
    return tls ? quorlen::net::ServerTls{pki().certFile(), pki().keyFile()} : quorlen::net::ServerTls{};
}

std::string header(const std::string& frame, size_t n) { return frame.substr(0, n); }

}  // namespace

TEST(WsFrame, HeaderLengthsAndMasking) {
    const std::uint8_t mask[4] = {1, 2, 3, 4};
    struct Case {
        size_t len;
        std::string head;
    } cases[] = {{0, "\x81\x80"},
                 {125, "\x81\xfd"},
                 {126, std::string("\x81\xfe\x00\x7e", 4)},
                 {65535, "\x81\xfe\xff\xff"},
                 {65536, std::string("\x81\xff\x00\x00\x00\x00\x00\x01\x00\x00", 10)}};
    for (const Case& c : cases) {
        std::string frame = ws_client_frame(1, std::string(c.len, 'a'), mask);
        EXPECT_EQ(header(frame, c.head.size()), c.head) << c.len;
        EXPECT_EQ(frame.substr(c.head.size(), 4), "\x01\x02\x03\x04");
        ASSERT_EQ(frame.size(), c.head.size() + 4 + c.len);
        for (size_t i = 0; i < c.len; ++i) ASSERT_EQ(frame[c.head.size() + 4 + i], char('a' ^ mask[i % 4]));
    }
    EXPECT_EQ(ws_client_frame(10, "", mask)[0], '\x8a');
    EXPECT_EQ(ws_client_frame(0x1f, "", mask)[0], '\x8f');  // opcode kept to 4 bits
}

namespace {

// A client that trusts the test CA, for either kind of server.
std::unique_ptr<WsPlain> trustingClient() {
    return std::make_unique<WsPlain>(StopGrace{}, WsPlain::FrameHandler{}, TlsTrust{pki().caFile()});
}

}  // namespace

TEST(WsPlain, RealServerReceivesExactPayloads) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "wss" : "ws");
        RecordingWsServer s(0, nodeTls(tls));
        auto client = trustingClient();
        WsPlain& ws = *client;
        ASSERT_TRUE(ws.connect_url(s.url("/node")));
        EXPECT_GE(ws.fd.load(), 0);
        std::vector<std::string> sent;
        for (size_t len : {0u, 125u, 126u, 65535u, 65536u, 300000u}) {
            std::string p(len, '\0');
            for (size_t i = 0; i < len; ++i) p[i] = char('a' + i % 26);
            sent.push_back(p);
            ASSERT_TRUE(ws.send_frame(1, p));
        }
        ASSERT_TRUE(wait_until([&] { return s.count() == sent.size(); }));
        EXPECT_EQ(s.messages(), sent);
    }
}

TEST(WsPlain, PingsAreAnsweredWithTheSamePayload) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "wss" : "ws");
        RecordingWsServer s(0, nodeTls(tls));
        auto client = trustingClient();
        WsPlain& ws = *client;
        ASSERT_TRUE(ws.connect_url(s.url("/node")));
        ASSERT_TRUE(wait_until([&] { return s.server().sessions().size() == 1; }));
        s.server().sessions()[0]->ping("hello");
        s.server().sessions()[0]->ping("");
        s.server().sessions()[0]->send("ignored by the client");
        ASSERT_TRUE(wait_until([&] { return s.pongs().size() == 2; }));
        EXPECT_EQ(s.pongs(), (std::vector<std::string>{"hello", ""}));
        EXPECT_GE(ws.fd.load(), 0);
    }
}

TEST(WsPlain, NodeClosingOrDroppingIsNoticed) {
    for (int round = 0; round < 4; ++round) {
        const bool closeFrame = round % 2 == 0;
        RecordingWsServer s(0, nodeTls(round >= 2));
        auto client = trustingClient();
        WsPlain& ws = *client;
        ASSERT_TRUE(ws.connect_url(s.url("/node")));
        ASSERT_TRUE(wait_until([&] { return s.server().sessions().size() == 1; }));
        if (closeFrame) s.server().sessions()[0]->close();
        else s.server().sessions()[0]->drop();
        ASSERT_TRUE(wait_until([&] { return ws.fd.load() < 0; }));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(ws.send_frame(1, "late"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        // And it can connect again.
        ASSERT_TRUE(ws.connect_url(s.url("/node")));
        EXPECT_TRUE(ws.send_frame(1, "again"));
        ASSERT_TRUE(wait_until([&] { return s.count() == 1; }));
    }
}

TEST(WsPlain, HandshakeRequestBytes) {
    std::string head;
    RawPeer peer([&](int fd) {
        head = read_http_head(fd);
        write_all(fd, ws_accept_reply(head));
        char c;
        recv(fd, &c, 1, 0);  // until the client goes
    });
    WsPlain ws;
    ASSERT_TRUE(ws.connect_url("ws://127.0.0.1:" + std::to_string(peer.port()) + "/a/b?x=1"));
    ws.close();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(head, m, std::regex("Sec-WebSocket-Key: ([A-Za-z0-9+/]{22}==)\r\n")));
    EXPECT_EQ(head, ws_handshake_request("/a/b?x=1", "127.0.0.1", std::to_string(peer.port()), m[1]));
    EXPECT_EQ(head.rfind("GET /a/b?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(peer.port()) + "\r\n", 0), 0u);
    EXPECT_EQ(ws.path(), "/a/b?x=1");
}

TEST(WsPlain, RefusedHandshakes) {
    RawPeer no101([](int fd) {
        read_http_head(fd);
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    });
    WsPlain ws;
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:" + std::to_string(no101.port())));
    EXPECT_LT(ws.fd.load(), 0);

    // The status decides: " 101 " elsewhere in a refusal is no upgrade. A
    // 101 without the accept value that proves the key was read, or from
    // HTTP/1.0, is taken, with one warning line per connection.
    struct Reply {
        std::string text;
        bool ok;
        std::string warning;
        bool bareLineFeeds = false;  // every CRLF of the reply sent as LF
    } replies[] = {
        {"HTTP/1.1 403 Forbidden\r\nX-Reason: 101 reasons\r\nSec-WebSocket-Accept: x\r\n\r\n", false, ""},
        {"HTTP/1.1 1010 Nearly\r\n\r\n", false, ""},
        {"HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n", true,
         "a Sec-WebSocket-Accept that does not match the key"},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", true, "no Sec-WebSocket-Accept"},
        {"HTTP/1.0 101\r\n\r\n", true, "no Sec-WebSocket-Accept"},
        {"HTTP/1.0 101 Switching Protocols\r\n", true, ""},  // with the right accept value
        {"HTTP/1.1 101 Switching Protocols\r\n", true, "", true},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\n\r\n", true, "no Sec-WebSocket-Accept"},
        {"HTTP/1.1 403 Forbidden\r\nX-Reason: 101 reasons\r\n\r\n", false, "", true},
    };
    for (const Reply& reply : replies) {
        std::atomic<bool> gotFrame{false};
        RawPeer peer([&](int fd) {
            const std::string head = read_http_head(fd);
            std::string r = reply.text;
            if (r.rfind("HTTP/1.0 101 Switching", 0) == 0) r = "HTTP/1.0" + ws_accept_reply(head).substr(8);
            if (r == "HTTP/1.1 101 Switching Protocols\r\n") r = ws_accept_reply(head);
            if (reply.bareLineFeeds) r = std::regex_replace(r, std::regex("\r\n"), "\n");
            write_all(fd, r);
            unsigned char frame[7];
            gotFrame = recv(fd, frame, sizeof frame, MSG_WAITALL) == sizeof frame && frame[0] == 0x81;
        });
        const std::string url = "ws://127.0.0.1:" + std::to_string(peer.port());
        testing::internal::CaptureStderr();
        EXPECT_EQ(ws.connect_url(url), reply.ok) << reply.text;
        if (reply.ok) {
            EXPECT_TRUE(ws.send_frame(1, "b"));
            EXPECT_TRUE(wait_until([&] { return gotFrame.load(); })) << reply.text;
        }
        ws.close();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  reply.warning.empty() ? ""
                                        : "[ws] warning: " + url + ": the handshake reply has " + reply.warning +
                                              "; connected all the same\n");
    }

    RawPeer silent([](int fd) { read_http_head(fd); });  // closes without a word
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:" + std::to_string(silent.port())));

    RawPeer endless([](int fd) {  // a header that never ends
        read_http_head(fd);
        write_all(fd, "HTTP/1.1 101 Switching Protocols\r\n");
        for (int i = 0; i < 2000; ++i) write_all(fd, "X-Pad: 0123456789\r\n");
    });
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:" + std::to_string(endless.port())));

    RawPeer over([](int fd) {  // a whole reply, but over the cap, in one piece
        const std::string head = ws_accept_reply(read_http_head(fd));
        write_all(fd, head.substr(0, head.size() - 2) + "X-Pad: " + std::string(9300 - head.size(), 'p') + "\r\n\r\n");
        char c;
        recv(fd, &c, 1, 0);
    });
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:" + std::to_string(over.port())));
}

TEST(WsPlain, HandshakeReplyInPiecesIsReadToItsEnd) {
    // Split inside the status line and again inside the accept header, with
    // a ping right behind it: the rest of the header must not be read as
    // frames, and the ping must be answered.
    std::atomic<bool> answered{false};
    RawPeer split([&](int fd) {
        const std::string reply = ws_accept_reply(read_http_head(fd)) + std::string("\x89\x02hi", 4);
        size_t from = 0;
        for (size_t cut : {size_t(10), size_t(60), reply.size()}) {
            write_all(fd, reply.substr(from, cut - from));
            from = cut;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        unsigned char frame[8];
        answered = recv(fd, frame, sizeof frame, MSG_WAITALL) == sizeof frame && frame[0] == 0x8a;
    });
    WsPlain ws;
    ASSERT_TRUE(ws.connect_url("ws://127.0.0.1:" + std::to_string(split.port())));
    EXPECT_TRUE(wait_until([&] { return answered.load(); }));
}

TEST(WsUrl, WhatTheClientCanUse) {
    struct Case {
        std::string url;
        bool ok;
        std::string host = "", port = "", path = "";
    } cases[] = {
        {"ws://node", true, "node", "6061", ""},
        {"ws://node:7000/a/b?x=1", true, "node", "7000", "/a/b?x=1"},
        {"ws://[::1]:6061/p", true, "::1", "6061", "/p"},
        {"ws://[::1]", true, "::1", "6061", ""},
        {"ws://node:65535", true, "node", "65535", ""},
        // Ports go to the resolver as written: leading zeros, service names.
        {"ws://node:006061/p", true, "node", "006061", "/p"}, {"ws://node:http-alt", true, "node", "http-alt", ""},
        {"ws://node:x1", true, "node", "x1", ""}, {"ws://[::1]:+80", true, "::1", "+80", ""},
        {"ws://node:0000", false, "", "", ""}, {"ws://node:065536", false, "", "", ""}, {"ws://node:-1", false, "", "", ""},
        {"ws://node:99999999999", false, "", "", ""},
        {"wss://node", true, "node", "443", ""}, {"wss://node:8443/p", true, "node", "8443", "/p"},
        {"wss://[::1]", true, "::1", "443", ""},
        {"WS://node", false, "", "", ""}, {"WSS://node", false, "", "", ""}, {"wss:/node", false, "", "", ""}, {"http://node", false, "", "", ""}, {"node:6061", false, "", "", ""},
        {"ws://user@node:1", false, "", "", ""}, {"ws://node:0", false, "", "", ""}, {"ws://node:65536", false, "", "", ""},
        {"ws://node:", false, "", "", ""}, {"ws://:80", false, "", "", ""}, {"ws://", false, "", "", ""},
        {"ws://::1:80", false, "", "", ""}, {"ws://[::1", false, "", "", ""}, {"ws://[::1]x", false, "", "", ""}, {"ws://[node]:1", false, "", "", ""},
        {"ws://no de", false, "", "", ""},
    };
    for (const Case& c : cases) {
        WsUrl u;
        const std::string problem = parse_ws_url(c.url, u);
        EXPECT_EQ(problem.empty(), c.ok) << c.url << ": " << problem;
        if (!c.ok) continue;
        EXPECT_EQ(u.host, c.host) << c.url;
        EXPECT_EQ(u.port, c.port) << c.url;
        EXPECT_EQ(u.path, c.path) << c.url;
    }
}

TEST(WsPlain, UrlsThatNeverReachTheNetwork) {
    WsPlain ws;
    EXPECT_FALSE(ws.connect_url("WSS://127.0.0.1:1/x"));
    EXPECT_FALSE(ws.connect_url("127.0.0.1:6061"));
    EXPECT_FALSE(ws.connect_url("http://127.0.0.1:6061"));
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:0/q"));
    EXPECT_EQ(ws.path(), "/");
    // A closed loopback port: the path is kept from before when none is named.
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:1/p"));
    EXPECT_EQ(ws.path(), "/p");
    EXPECT_FALSE(ws.connect_url("ws://127.0.0.1:1"));
    EXPECT_EQ(ws.port(), "1");
    EXPECT_EQ(ws.path(), "/p");
    EXPECT_EQ(ws.host(), "127.0.0.1");
}

TEST(WsPlain, Ipv6LiteralsAndPortsAsTheResolverReadsThem) {
    quorlen::net::WsServer server("::1", 0, {});
    WsPlain ws;
    ASSERT_TRUE(ws.connect_url("ws://[::1]:" + std::to_string(server.port()) + "/v6"));
    EXPECT_EQ(ws.host(), "::1");
    EXPECT_TRUE(ws.send_frame(1, "over v6"));
    const std::string padded = "00" + std::to_string(server.port());
    ASSERT_TRUE(ws.connect_url("ws://[::1]:" + padded));
    EXPECT_EQ(ws.port(), padded);
    // A service name, where its port is free to listen on.
    std::unique_ptr<quorlen::net::WsServer> altServer;
    try {
        altServer = std::make_unique<quorlen::net::WsServer>("127.0.0.1", 8080, quorlen::net::WsCallbacks{});
    } catch (const std::exception&) {
        GTEST_SKIP() << "port 8080 (http-alt) is taken here";
    }
    EXPECT_TRUE(ws.connect_url("ws://127.0.0.1:http-alt"));
}

// A node that takes the connection and then stops reading: a sender gives
// up at the time limit, and sooner at the end of a stop request's grace,
// silently then: the stop cut it short, not the node.
TEST(WsPlain, NodeThatStopsReadingCannotHoldASender) {
    for (bool stopEarly : {false, true}) {
        std::atomic<bool> release{false};
        RawPeer deaf([&](int fd) {
            write_all(fd, ws_accept_reply(read_http_head(fd)));
            wait_until([&] { return release.load(); }, 30000);
        });
        std::atomic<bool> stop{false};
        WsPlain ws(&stop);
        ASSERT_TRUE(ws.connect_url("ws://127.0.0.1:" + std::to_string(deaf.port())));
        const std::string big(4u << 20, 'x');
        std::thread stopper;
        if (stopEarly) stopper = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            stop = true;
        });
        testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        bool sent = true;
        for (int i = 0; i < 8 && sent; ++i) sent = ws.send_frame(1, big);
        const auto took = std::chrono::steady_clock::now() - start;
        const std::string err = testing::internal::GetCapturedStderr();
        if (stopper.joinable()) stopper.join();
        EXPECT_FALSE(sent);
        EXPECT_LT(took, std::chrono::milliseconds(stopEarly ? 500 + StopGrace::kGraceMs + 500 : WsPlain::kTimeLimitMs + 2000));
        EXPECT_EQ(err, stopEarly ? "" : "[ws] send error: Connection timed out\n");
        release = true;
    }
}

TEST(WsPlain, ConnectGivesUpAtTheLimitOrAtAStopRequest) {
    FullBacklog never;
    const std::string url = "ws://127.0.0.1:" + std::to_string(never.port());
    std::atomic<bool> stop{false};
    WsPlain ws(&stop);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ws.connect_url(url));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(WsPlain::kTimeLimitMs - 500));
    EXPECT_LT(took, std::chrono::milliseconds(WsPlain::kTimeLimitMs + 2000));

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ws.connect_url(url));
    stopper.join();
    took = std::chrono::steady_clock::now() - start - std::chrono::milliseconds(300);
    EXPECT_GE(took, std::chrono::milliseconds(StopGrace::kGraceMs - 200));
    EXPECT_LT(took, std::chrono::milliseconds(StopGrace::kGraceMs + 500));
    EXPECT_FALSE(ws.connect_url(url));  // past the grace none starts
}

// A certificate that does not prove the node is the one named is refused
// with the reason, before a byte of WebSocket goes out; and wss:// never
// falls back to plain text, nor ws:// to TLS.
TEST(WsPlain, TlsRefusesWhatItCannotVerify) {
    RecordingWsServer tlsNode(0, nodeTls(true)), v6Node(0, nodeTls(true), "::1"), plainNode;
    WsPlain untrusting;
    EXPECT_FALSE(untrusting.connect_url(tlsNode.url("/node")));
    EXPECT_EQ(untrusting.last_problem(), "certificate verify failed: unable to get local issuer certificate");
    EXPECT_LT(untrusting.fd.load(), 0);

    auto trusting = trustingClient();
    EXPECT_FALSE(trusting->connect_url("wss://[::1]:" + std::to_string(v6Node.port()) + "/node"));
    EXPECT_EQ(trusting->last_problem(), "certificate verify failed: IP address mismatch");
    EXPECT_FALSE(trusting->connect_url(plainNode.url("/node", "localhost").replace(0, 2, "wss")));
    EXPECT_EQ(trusting->last_problem().rfind("TLS handshake failed: ", 0), 0u) << trusting->last_problem();
    EXPECT_FALSE(trusting->connect_url(tlsNode.url("/node").replace(0, 3, "ws")));
    EXPECT_EQ(trusting->last_problem(), "");
    // By name, as the certificate names it.
    ASSERT_TRUE(trusting->connect_url(tlsNode.url("/node", "localhost")));
    EXPECT_TRUE(trusting->send_frame(1, "verified"));
    ASSERT_TRUE(wait_until([&] { return tlsNode.count() == 1; }));
    EXPECT_EQ(v6Node.count() + plainNode.count(), 0u);
    EXPECT_EQ(v6Node.server().sessions().size() + plainNode.server().sessions().size(), 0u);
}

// A TLS peer that takes the connection and never answers the client's
// hello: given up at the time limit, or at the end of a stop's grace.
TEST(WsPlain, StalledTlsHandshakeGivesUp) {
    std::atomic<bool> release{false};
    RawPeer stall(
        [&](int fd) {
            char hello[512];
            recv(fd, hello, sizeof hello, 0);
            wait_until([&] { return release.load(); }, 30000);
        },
        true);
    const std::string url = "wss://127.0.0.1:" + std::to_string(stall.port());
    std::atomic<bool> stop{false};
    WsPlain ws(&stop);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ws.connect_url(url));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(WsPlain::kTimeLimitMs - 500));
    EXPECT_LT(took, std::chrono::milliseconds(WsPlain::kTimeLimitMs + 2000));
    EXPECT_EQ(ws.last_problem(), "TLS handshake not finished in time");

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ws.connect_url(url));
    stopper.join();
    took = std::chrono::steady_clock::now() - start - std::chrono::milliseconds(300);
    EXPECT_LT(took, std::chrono::milliseconds(StopGrace::kGraceMs + 500));
    release = true;
}

TEST(WsPlain, OversizedOrUnlawfulFrameEndsTheConnectionNotTheProcess) {
    const struct {
        std::string frame;
        bool protocolError;  // told with a close frame, code 1002
    } cases[] = {
        {std::string("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10), false},  // 2^63 bytes
        {std::string("\x82\x7f\x00\x00\x00\x00\x01\x00\x00\x01", 10), false},  // just over 16 MiB
        {std::string("\x89\x7f\x00\x00\x00\x00\x01\x00\x00\x00", 10) + std::string(4096, 'p'), true},  // 16 MiB ping
        {std::string("\x89\x7e\x00\x7e", 4) + std::string(126, 'p'), true},  // one byte over a control frame's
        {std::string("\x09\x02hi", 4), true},                               // a fragmented ping
        {std::string("\x81\x82\x01\x02\x03\x04ij", 8), true},               // masked by the server
    };
    for (const auto& c : cases) {
        std::string closing;
        {
            RawPeer peer([&](int fd) {
                write_all(fd, ws_accept_reply(read_http_head(fd)) + c.frame);
                unsigned char f[8];
                if (recv(fd, f, sizeof f, MSG_WAITALL) == sizeof f && f[0] == 0x88 && f[1] == 0x82)
                    for (int i = 0; i < 2; ++i) closing += char(f[6 + i] ^ f[2 + i]);
            });
            WsPlain ws;
            ASSERT_TRUE(ws.connect_url("ws://127.0.0.1:" + std::to_string(peer.port())));
            EXPECT_TRUE(wait_until([&] { return ws.fd.load() < 0; }));
        }
        EXPECT_EQ(closing, c.protocolError ? std::string("\x03\xea") : "") << c.frame.substr(0, 4);
    }
}

// The reader's limits hold over TLS as over plain TCP: a TLS node that
// announces a frame too large to hold, or masks its frames, ends the
// connection (a protocol error with a close 1002), not the process.
TEST(WsPlain, UnlawfulFramesOverTlsEndTheConnection) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    ASSERT_EQ(SSL_CTX_use_certificate_chain_file(ctx.get(), pki().certFile().c_str()), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey_file(ctx.get(), pki().keyFile().c_str(), SSL_FILETYPE_PEM), 1);
    const struct {
        std::string frame;
        bool protocolError;
    } cases[] = {
        {std::string("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10), false},  // 2^63 bytes
        {std::string("\x81\x82\x01\x02\x03\x04ij", 8), true},               // masked by the server
    };
    for (const auto& c : cases) {
        std::string closing;
        {
            RawPeer peer([&](int fd) {
                SSL* ssl = SSL_new(ctx.get());
                SSL_set_fd(ssl, fd);
                std::string head;
                char ch;
                if (SSL_accept(ssl) == 1)
                    while (head.find("\r\n\r\n") == std::string::npos && SSL_read(ssl, &ch, 1) == 1) head += ch;
                const std::string reply = ws_accept_reply(head) + c.frame;
                unsigned char f[8];
                int got = 0, n = 0;
                if (!head.empty() && SSL_write(ssl, reply.data(), int(reply.size())) > 0)
                    while (got < 8 && (n = SSL_read(ssl, f + got, 8 - got)) > 0) got += n;
                if (got == 8 && f[0] == 0x88 && f[1] == 0x82)
                    for (int i = 0; i < 2; ++i) closing += char(f[6 + i] ^ f[2 + i]);
                SSL_free(ssl);
            });
            auto ws = trustingClient();
            ASSERT_TRUE(ws->connect_url("wss://127.0.0.1:" + std::to_string(peer.port())));
            EXPECT_TRUE(wait_until([&] { return ws->fd.load() < 0; }));
        }
        EXPECT_EQ(closing, c.protocolError ? std::string("\x03\xea") : "") << c.frame.substr(0, 4);
    }
}

TEST(WsPlain, FramesInTheHandshakeReadAreNotLost) {
    // A ping right behind the reply, in the same segment, split mid-frame.
    std::string pong;
    std::atomic<bool> answered{false};
    {
        RawPeer peer([&](int fd) {
            write_all(fd, ws_accept_reply(read_http_head(fd)) + std::string("\x89\x04pi", 4));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            write_all(fd, "ng");
            unsigned char frame[10];
            if (recv(fd, frame, sizeof frame, MSG_WAITALL) == sizeof frame && frame[0] == 0x8a && frame[1] == 0x84)
                for (int i = 0; i < 4; ++i) pong += char(frame[6 + i] ^ frame[2 + i]);
            answered = true;
        });
        WsPlain ws;
        ASSERT_TRUE(ws.connect_url("ws://127.0.0.1:" + std::to_string(peer.port())));
        EXPECT_TRUE(wait_until([&] { return answered.load(); }));
    }
    EXPECT_EQ(pong, "ping");
}

TEST(WsPlain, CloseWakesABlockedReader) {
    RecordingWsServer s;
    WsPlain ws;
    ASSERT_TRUE(ws.connect_url(s.url("/node")));
    auto start = std::chrono::steady_clock::now();
    ws.close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(ws.fd.load(), 0);
    EXPECT_FALSE(ws.send_frame(1, "x"));
}

namespace {

size_t lines(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(NodeVerdict, TheKnownFormatAndEverythingElse) {
    auto a = parse_verdict(R"({"event":"accepted","height":7,"hash":"00AB12"})");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->accepted);
    EXPECT_EQ(a->hash, "ab12");  // as the miner submits it
    EXPECT_EQ(a->height, 7u);
    auto r = parse_verdict(R"({"event":"rejected","reason":"stale prev_hash"})");
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->accepted);
    EXPECT_EQ(r->reason, "stale prev_hash");
    EXPECT_EQ(r->hash, "");
    EXPECT_EQ(parse_verdict(R"({"event":"rejected","reason":"x","hash":"0"})")->hash, "0");
    // Hostile reasons are shown escaped and cut.
    auto odd = parse_verdict(R"({"event":"rejected","reason":"a\u001b[2Jb\nc"})");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->reason, "a\\x1b[2Jb\\x0ac");
    auto longReason = parse_verdict(R"({"event":"rejected","reason":")" + std::string(300, 'r') + "\"}");
    ASSERT_TRUE(longReason);
    EXPECT_EQ(longReason->reason, std::string(kMaxReasonBytes, 'r') + "...");
    for (const std::string& junk :
         {std::string("not json"), std::string("[]"), std::string("{}"), std::string(R"({"event":7})"),
          std::string(R"({"event":"accepted"})"),                               // names no block
          std::string(R"({"event":"accepted","hash":"xyz"})"),                  // not hex
          std::string(R"({"event":"accepted","hash":")" + std::string(65, 'a') + "\"}"),
          std::string(R"({"event":"accepted","hash":"ab","height":-1})"),
          std::string(R"({"event":"accepted","hash":"ab","height":"1"})"),
          std::string(R"({"event":"rejected"})"), std::string(R"({"event":"rejected","reason":3})"),
          std::string(R"({"event":"block","data":{}})"),
          std::string(R"({"event":"accepted","hash":"ab","pad":")") + std::string(kMaxVerdictBytes, ' ') + "\"}"})
        EXPECT_FALSE(parse_verdict(junk)) << junk.substr(0, 80);
}

TEST(NodeVerdict, RealNodeSendingVerdictsJunkAndAFlood) {
    RecordingWsServer s;
    auto counts = std::make_shared<VerdictCounts>();
    std::FILE* out = std::tmpfile();
    std::atomic<long> fakeSeconds{0};
    auto reporter = std::make_shared<VerdictReporter>(3, counts, out, [&] {
        return std::chrono::steady_clock::time_point(std::chrono::seconds(fakeSeconds.load()));
    });
    WsPlain ws(nullptr, [reporter](bool text, std::string_view p) { reporter->on_frame(text, p); });
    ASSERT_TRUE(ws.connect_url(s.url("/node")));
    ASSERT_TRUE(wait_until([&] { return s.server().sessions().size() == 1; }));
    auto node = s.server().sessions()[0];

    reporter->block_sent("ab12");
    reporter->block_sent("cd34");
    node->send(R"({"event":"accepted","height":7,"hash":"00ab12"})");
    node->send(R"({"event":"rejected","reason":"stale prev_hash"})");  // the oldest still waiting: cd34
    node->send(R"({"event":"rejected","reason":"no block of ours left"})");
    node->send(R"({"event":"accepted","hash":"ffff"})");  // a block we never sent
    const std::string big(4000, '{');  // one frame (the server splits larger ones)
    node->send(big);
    for (int i = 0; i < 5000; ++i) node->send("junk " + std::to_string(i));
    node->ping("still");
    ASSERT_TRUE(wait_until([&] { return counts->unrecognised.load() == 5003; }, 20000)) << counts->unrecognised;
    ASSERT_TRUE(wait_until([&] { return s.pongs().size() == 1; }));
    EXPECT_EQ(counts->accepted.load(), 1u);
    EXPECT_EQ(counts->rejected.load(), 1u);
    std::string text = read_back(out);
    EXPECT_NE(text.find("[verdict] GPU#3 accepted hash=ab12 height=7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[verdict] GPU#3 rejected hash=cd34 reason: stale prev_hash\n"), std::string::npos) << text;
    // One sample of the noise in the minute, the first frame, cut at 200 bytes.
    EXPECT_EQ(lines(text, "unrecognised frame"), 1u) << text.substr(0, 2000);
    EXPECT_NE(text.find("(1 so far; at most one shown a minute): {\"event\":\"rejected\",\"reason\":\"no block"),
              std::string::npos)
        << text;
    EXPECT_LT(text.size(), 1000u);

    fakeSeconds = 59;
    node->send("\x01\x02");
    ASSERT_TRUE(wait_until([&] { return counts->unrecognised.load() == 5004; }));
    fakeSeconds = 61;
    node->send(big);
    ASSERT_TRUE(wait_until([&] { return counts->unrecognised.load() == 5005; }));
    text = read_back(out);
    EXPECT_EQ(lines(text, "unrecognised frame"), 2u);
    EXPECT_NE(text.find("(5005 so far; at most one shown a minute): " + std::string(200, '{') + "...\n"),
              std::string::npos);
    EXPECT_GE(ws.fd.load(), 0);
    ws.close();
    std::fclose(out);
}

TEST(NodeVerdict, BlocksWaitingForAnAnswerAreBounded) {
    auto counts = std::make_shared<VerdictCounts>();
    std::FILE* out = std::tmpfile();
    VerdictReporter reporter(0, counts, out);
    for (size_t i = 0; i < VerdictReporter::kMaxWaiting + 36; ++i) reporter.block_sent(std::to_string(i + 1));
    reporter.on_frame(true, R"({"event":"accepted","hash":"1"})");  // forgotten: the oldest went first
    for (size_t i = 0; i < VerdictReporter::kMaxWaiting + 36; ++i)
        reporter.on_frame(true, R"({"event":"rejected","reason":"r"})");
    EXPECT_EQ(counts->accepted.load(), 0u);
    EXPECT_EQ(counts->rejected.load(), VerdictReporter::kMaxWaiting);
    EXPECT_EQ(counts->unrecognised.load(), 37u);
    reporter.block_sent("98");
    reporter.block_sent("99");
    reporter.block_not_sent("98");  // the send failed: no answer will come
    reporter.on_frame(false, R"({"event":"accepted","hash":"99"})");  // binary frames are not verdicts
    EXPECT_EQ(counts->unrecognised.load(), 38u);
    reporter.on_frame(true, R"({"event":"rejected","reason":"r"})");  // answers 99, not 98
    EXPECT_EQ(counts->rejected.load(), VerdictReporter::kMaxWaiting + 1);
    reporter.on_frame(true, R"({"event":"accepted","hash":"98"})");
    EXPECT_EQ(counts->unrecognised.load(), 39u);
    std::fclose(out);
}
