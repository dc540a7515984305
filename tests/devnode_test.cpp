// The development node's chain: it must accept what an honest miner makes
// and reject every forgery, for the right reason.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "block/canonical.h"
#include "block/signer.h"
#include "chain.h"
#include "consensus.h"
#include "node/ws_plain.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/test_key.h"
#include "support/test_pki.h"
#include "worker/candidate.h"
#include "worker/chain_view.h"
#include "worker/identity.h"
#include "worker/rewards.h"
#include "worker/worker.h"
#include "worker/worker_ctx.h"

using nlohmann::json;

using namespace quorlen::worker;
using namespace quorlen::node;

namespace {

// The easiest target; with a tiny block time it stays the easiest.
const std::string kEasy(64, 'f');

// A block as the miner builds and signs it, on top of `chain`; by default a
// second after the tip, so that the easiest target stays the easiest.
json minedBlock(const Chain& chain, const Signer& signer, json mempool = json::array(), std::uint64_t ts = 0) {
    if (ts == 0) ts = chain.height() * 1000;
    ChainView view;
    view.height = chain.height();
    view.prevHash = (*chain.block(view.height - 1))["hash"];
    view.diff = chain.target();
    std::tie(view.devAmount, view.minerAmount) = split_reward(block_reward(view.height));
    adopt_mempool(view, mempool);
    const std::string text = canonical_msg(make_candidate(view, signer.pubhex, ts));
    json block = json::parse(text);
    return json::parse(build_block_for_submit(block, sign_hex(signer, text),
                                              submitted_hash_text(consensus::pow_hash(text))));
}

json resign(json block, const Signer& signer) {
    json blank = block;
    blank["signature"] = "";
    blank["hash"] = "";
    const std::string text = canonical_msg(blank);
    block["signature"] = sign_hex(signer, text);
    block["hash"] = submitted_hash_text(consensus::pow_hash(text));
    return block;
}

struct TempFile {
    std::string path = "/tmp/quorlen-devnode-test-" + std::to_string(getpid()) + ".dat";
    ~TempFile() { unlink(path.c_str()); }
};

json pendingTx(int amount) {
    return {{"sender", "02aa"}, {"receiver", "03bb"}, {"amount", amount}, {"signature", "3045"}, {"nonce", 1},
            {"timestamp", 2}, {"token", "q"}};
}

}  // namespace

TEST(Consensus, AgreesWithTheMinersTextAndRewards) {
    const json doc = json::parse(R"({"timestamp":5,"transactions":[{"sender":"a\"\n","receiver":"b","amount":-1,
        "signature":"","nonce":2.5,"timestamp":1,"unlock":null,"mint":{"z":1,"a":"\u00e9"}}],"prev_hash":"p",
        "nonce":9,"signature":"x","proposer":"q","hash":"y","diff":"d"})");
    EXPECT_EQ(*consensus::block_text(doc), canonical_msg(doc));
    for (std::uint64_t h : {0ULL, 1ULL, 693147ULL, 1000000ULL, 16811242ULL, 16811243ULL}) {
        EXPECT_EQ(consensus::reward(h), block_reward(h)) << h;
        EXPECT_EQ(consensus::developer_share(consensus::reward(h)), split_reward(block_reward(h)).first);
    }
    EXPECT_TRUE(consensus::hash_within_target("ff", "00ff"));
    EXPECT_FALSE(consensus::hash_within_target("100", "ff"));
    EXPECT_FALSE(consensus::hash_within_target("zz", "ff"));
    EXPECT_EQ(consensus::retarget(kEasy, 100, 10), kEasy);  // cannot grow past the top
    EXPECT_EQ(consensus::retarget("00" + std::string(62, 'f'), 5, 10), "007" + std::string(61, 'f'));
    EXPECT_EQ(consensus::retarget(std::string(63, '0') + "1", 1, 10), std::string(63, '0') + "1");
}

TEST(DevChain, AcceptsHonestBlocksAndTheirTransactions) {
    Chain chain({kEasy, 0.001, "", ""});
    Signer signer;
    ASSERT_TRUE(signer.init(kTestKey, false));
    EXPECT_EQ(chain.height(), 1u);
    ASSERT_EQ(chain.add_transaction(pendingTx(5)), "");
    ASSERT_EQ(chain.add_transaction(pendingTx(6)), "");
    Verdict v = chain.submit(minedBlock(chain, signer, json::array({pendingTx(6)})));
    EXPECT_TRUE(v.accepted) << v.reason;
    EXPECT_EQ(chain.height(), 2u);
    EXPECT_EQ(chain.mempool(), json::array({pendingTx(5)}));
    EXPECT_EQ((*chain.block(1))["prev_hash"], (*chain.block(0))["hash"]);
    EXPECT_TRUE(chain.submit(minedBlock(chain, signer)).accepted);
    // Stamped 0, 1000, 2000: a clock a little behind the last block's miner
    // is still honest, one at the median of the last blocks is not.
    EXPECT_EQ(chain.submit(minedBlock(chain, signer, json::array(), 1000)).reason,
              "timestamp 1000 is not after 1000, the median of the last 3 blocks");
    EXPECT_TRUE(chain.submit(minedBlock(chain, signer, json::array(), 1500)).accepted);
}

TEST(DevChain, RejectsForgeriesForTheRightReason) {
    Chain chain({kEasy, 0.001, "", ""});
    Signer signer, other;
    ASSERT_TRUE(signer.init(kTestKey, false));
    ASSERT_TRUE(other.init(kDevPrivateKey, false));
    const json honest = minedBlock(chain, signer);

    json badSig = honest;
    badSig["signature"] = resign(honest, other)["signature"];
    EXPECT_EQ(chain.submit(badSig).reason, "bad signature");

    json wrongReward = honest;
    wrongReward["transactions"][1]["amount"] = wrongReward["transactions"][1]["amount"].get<std::uint64_t>() + 1;
    EXPECT_EQ(chain.submit(resign(wrongReward, signer)).reason, "wrong miner reward");
    json stolenShare = honest;
    stolenShare["transactions"][0]["receiver"] = signer.pubhex;
    EXPECT_EQ(chain.submit(resign(stolenShare, signer)).reason, "wrong developer reward");

    json wrongHash = honest;
    wrongHash["hash"] = "1234";
    EXPECT_EQ(chain.submit(wrongHash).reason, "hash does not match the block");

    json stale = honest;
    stale["prev_hash"] = "00ab";
    EXPECT_EQ(chain.submit(resign(stale, signer)).reason, "stale prev_hash");

    json invented = minedBlock(chain, signer, json::array({pendingTx(9)}));  // never posted
    EXPECT_EQ(chain.submit(invented).reason, "transaction 0 is not pending");

    json broken = honest;
    broken.erase("nonce");
    EXPECT_EQ(chain.submit(broken).reason, "malformed block: missing nonce");

    Chain hard({std::string(63, '0') + "1", 10, "", ""});
    EXPECT_EQ(hard.submit(minedBlock(hard, signer)).reason, "hash above target");

    EXPECT_TRUE(chain.submit(honest).accepted);
    EXPECT_EQ(chain.submit(honest).reason, "stale prev_hash");  // the same block twice
}

TEST(DevChain, TransactionsAreCheckedWhenPosted) {
    Chain chain({kEasy, 0.001, "", ""});
    json noSig = pendingTx(1);
    noSig.erase("signature");
    EXPECT_EQ(chain.add_transaction(noSig), "missing signature");
    EXPECT_EQ(chain.add_transaction(json::array()), "a transaction is a JSON object");
    json fromNetwork = pendingTx(1);
    fromNetwork["sender"] = "network";
    EXPECT_NE(chain.add_transaction(fromNetwork), "");
    EXPECT_TRUE(chain.mempool().empty());

    // What no block carries in its lifetime is gone, and no block can carry it after.
    ChainSettings brief{kEasy, 0.001, "", ""};
    brief.pendingLifetime = std::chrono::milliseconds(200);
    Chain fleeting(brief);
    Signer signer;
    ASSERT_TRUE(signer.init(kTestKey, false));
    ASSERT_EQ(fleeting.add_transaction(pendingTx(1)), "");
    EXPECT_EQ(fleeting.mempool().size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(fleeting.mempool().empty());
    EXPECT_EQ(fleeting.submit(minedBlock(fleeting, signer, json::array({pendingTx(1)}))).reason,
              "transaction 0 is not pending");
}

TEST(DevChain, KeepsItsChainAcrossRestartsAndDropsATornLine) {
    TempFile file;
    Signer signer;
    ASSERT_TRUE(signer.init(kTestKey, false));
    std::string tipHash;
    {
        Chain chain({kEasy, 0.001, "", file.path});
        ASSERT_TRUE(chain.submit(minedBlock(chain, signer)).accepted);
        ASSERT_TRUE(chain.submit(minedBlock(chain, signer)).accepted);
        tipHash = (*chain.block(2))["hash"];
    }
    {
        std::ofstream torn(file.path, std::ios::app);
        torn << "{\"timestamp\":3,\"transa";  // a crash in the middle of a write
    }
    {
        Chain chain({kEasy, 0.001, "", file.path});
        EXPECT_EQ(chain.height(), 3u);
        EXPECT_EQ((*chain.block(2))["hash"], tipHash);
        EXPECT_TRUE(chain.submit(minedBlock(chain, signer)).accepted);
    }
    EXPECT_EQ(Chain({kEasy, 0.001, "", file.path}).height(), 4u);
    {
        std::ofstream damaged(file.path, std::ios::trunc);
        damaged << "garbage\n{}\n";
    }
    EXPECT_THROW(Chain({kEasy, 0.001, "", file.path}), std::runtime_error);
}

// ---- The node as users run it: a child process on loopback ports, fed
// ---- with what hostile local clients send.

namespace {

int connectTo(unsigned short port, int receiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string readToEnd(int fd) {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) out.append(buf, size_t(n));
    return out;
}

// One request on its own connection; the whole reply, or "" when none came.
std::string httpExchange(unsigned short port, const std::string& request) {
    int fd = connectTo(port);
    if (fd < 0) return "";
    write_all(fd, request);
    std::string reply = readToEnd(fd);
    ::close(fd);
    return reply;
}

std::string get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nConnection: close\r\n\r\n"; }

std::string post(const std::string& path, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

int status(const std::string& reply) { return reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0; }

// A WebSocket client on a raw socket, for reading the node's answers.
int wsOpen(unsigned short port, int receiveBuffer = 0) {
    int fd = connectTo(port, receiveBuffer);
    if (fd < 0) return -1;
    write_all(fd, "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    if (read_http_head(fd).rfind("HTTP/1.1 101", 0) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A masked text frame with the all-zero mask, which leaves the payload as it is.
std::string wsFrame(const std::string& text) {
    std::string f = "\x81";
    if (text.size() < 126) f += char(0x80 | text.size());
    else if (text.size() < 65536) f += std::string{char(0xfe), char(text.size() >> 8), char(text.size() & 255)};
    else {
        f += char(0xff);
        for (int i = 7; i >= 0; --i) f += char((text.size() >> (8 * i)) & 255);
    }
    return f + std::string(4, '\0') + text;
}

// The next text message from the node (pings skipped); "" on a closed socket.
std::string wsReceive(int fd) {
    for (;;) {
        unsigned char h[2];
        if (recv(fd, h, 2, MSG_WAITALL) != 2) return "";
        std::uint64_t len = h[1] & 0x7f;
        const int extra = len == 126 ? 2 : len == 127 ? 8 : 0;
        unsigned char ext[8];
        if (extra && recv(fd, ext, size_t(extra), MSG_WAITALL) != extra) return "";
        if (extra) len = 0;
        for (int i = 0; i < extra; ++i) len = len << 8 | ext[i];
        std::string payload(len, '\0');
        if (len && recv(fd, payload.data(), len, MSG_WAITALL) != ssize_t(len)) return "";
        if ((h[0] & 0x0f) == 1) return payload;
        if ((h[0] & 0x0f) == 8) return "";
    }
}

// True when the node ends the connection (or has ended it) within `ms`;
// whatever it sends meanwhile is read and dropped.
bool endsWithin(int fd, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (poll(&p, 1, int(std::max<long long>(left.count(), 0))) <= 0) return false;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
}

// The node binary on free loopback ports, stopped (and its exit checked) at
// the end of each test.
class RunningNode : public testing::Test {
protected:
    unsigned short httpPort = free_port(), wsPort = free_port();
    TempFile data;
    std::unique_ptr<BackgroundProcess> node;

    std::vector<std::string> command(const std::vector<std::string>& extra) const {
        std::vector<std::string> argv{DEVNODE_BINARY, "--http-port", std::to_string(httpPort), "--ws-port",
                                      std::to_string(wsPort), "--target", kEasy, "--block-seconds", "0.001"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    void start(const std::vector<std::string>& extra = {}, std::vector<std::string> prefix = {}) {
        std::vector<std::string> argv = command(extra);
        prefix.insert(prefix.end(), argv.begin(), argv.end());
        node = std::make_unique<BackgroundProcess>(prefix);
        ASSERT_TRUE(node->waitForOutput("[node] height", std::chrono::seconds(20))) << node->err();
    }
    bool serving() { return status(httpExchange(httpPort, get("/height"))) == 200; }
    void TearDown() override {
        if (!node) return;
        node->signal(SIGINT);
        ProcessResult r = node->wait(std::chrono::seconds(20));
        EXPECT_EQ(r.exitCode, 0) << r.err.substr(r.err.size() > 4000 ? r.err.size() - 4000 : 0);
    }
};

std::string blockEvent(const json& block) { return R"({"event":"block","data":)" + block.dump() + "}"; }

}  // namespace

TEST_F(RunningNode, AnswersEveryMalformedMessageWithItsReasonAndCarriesOn) {
    start({"--work-checks", "1"});
    Signer signer;
    ASSERT_TRUE(signer.init(kTestKey, false));
    Chain mirror({kEasy, 0.001, "", ""});  // the node's chain as it starts
    const json honest = minedBlock(mirror, signer);
    auto changed = [&](const std::function<void(json&)>& change) {
        json b = honest;
        change(b);
        return blockEvent(resign(b, signer));
    };
    const struct {
        std::string message, reason;
    } cases[] = {
        {R"({"event":5})", "message: event is not a string"},
        {R"({"event":null})", "message: event is not a string"},
        {R"({"event":["block"]})", "message: event is not a string"},
        {R"({"event":"block"})", "message: missing data"},
        {R"({"event":"block","data":5})", "malformed block: a block is a JSON object"},
        {"[1,", "message: not JSON"},
        {R"({"event":"block","data":)" + std::string(70000, '[') + std::string(70000, ']') + "}",
         "message: nested deeper than 16 levels"},
        {changed([](json& b) { b["extra"] = std::string(1000, 'x'); }), "malformed block: unknown member \"extra\""},
        {changed([](json& b) { b["transactions"][0]["amount"] = 699999.9; }),
         "malformed block: transaction 0: amount is not a non-negative integer below 2^64"},
        {changed([](json& b) { b["diff"] = "7" + std::string(63, 'f'); }),
         "diff 7" + std::string(63, 'f') + " is not the target " + kEasy},
        {changed([](json& b) { b["timestamp"] = 4102444800000; }), "timestamp more than 120 s ahead"},
        {changed([](json& b) { b["timestamp"] = 0; }), "timestamp 0 is not after 0, the median of the last 1 blocks"},
        // Each costs an Argon2 check, and one client may have the node run only so many.
        {blockEvent([&] { json b = honest; b["hash"] = "1234"; return b; }()), "hash does not match the block"},
        {blockEvent([&] { json b = honest; b["hash"] = "1235"; return b; }()),
         "too many proof-of-work checks: at most 1 a second per connection"},
    };
    int fd = wsOpen(wsPort);
    ASSERT_GE(fd, 0);
    for (const auto& c : cases) {
        write_all(fd, wsFrame(c.message));
        const json answer = json::parse(wsReceive(fd), nullptr, false);
        EXPECT_EQ(answer.value("event", ""), "rejected") << c.reason;
        EXPECT_EQ(answer.value("reason", "").rfind(c.reason, 0), 0u) << answer.dump();
        // A block's rejection names it by the hash it carries, as an acceptance does.
        const json sent = json::parse(c.message, nullptr, false);
        const bool named = sent.is_object() && sent.contains("data") && sent["data"].is_object() &&
                           sent["data"].value("hash", "") != "";
        EXPECT_EQ(answer.value("hash", ""), named ? sent["data"]["hash"].get<std::string>() : "") << answer.dump();
    }
    // A pending transaction as deep as a block can carry, and the block carrying it.
    json deep = pendingTx(7);
    deep["mint"] = json::parse(std::string(12, '[') + std::string(12, ']'));
    EXPECT_EQ(status(httpExchange(httpPort, post("/tx", deep.dump()))), 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the allowance refills
    write_all(fd, wsFrame(blockEvent(minedBlock(mirror, signer, json::array({deep})))));
    const std::string answer = wsReceive(fd);
    EXPECT_EQ(json::parse(answer, nullptr, false).value("event", ""), "accepted") << answer;
    ::close(fd);
    EXPECT_TRUE(serving());
}

TEST_F(RunningNode, RefusesBadTransactionsAndOversizedRequestsWithTheirStatus) {
    start();
    auto tx = [](const std::string& amount, const std::string& extra = "") {
        return R"({"sender":"02aa","receiver":"03bb","amount":)" + amount +
               R"(,"signature":"3045","nonce":1,"timestamp":2)" + extra + "}";
    };
    const struct {
        std::string request;
        int status;
        std::string says;
    } cases[] = {
        {post("/tx", tx("-1")), 400, "amount is not a non-negative integer"},
        {post("/tx", tx("5.5")), 400, "amount is not"},
        {post("/tx", tx("18446744073709551616")), 400, "amount is not"},
        {post("/tx", tx("5", R"(,"fee":1)")), 400, "unknown member"},
        {post("/tx", tx("5", R"(,"mint":)" + std::string(70000, '[') + std::string(70000, ']'))), 400, "nested deeper"},
        // Would fit a request, but not a block event, three levels deeper.
        {post("/tx", tx("5", R"(,"mint":)" + std::string(13, '[') + std::string(13, ']'))), 400,
         "nested deeper than 13 levels (a block carrying it would nest deeper than 16)"},
        {post("/tx", tx("5")), 200, "accepted"},
        {post("/tx", std::string(2 << 20, ' ')), 413, "too large"},
        {"GET /height HTTP/1.1\r\nX: " + std::string(20000, 'x') + "\r\n\r\n", 431, "too large"},
        {get("/height"), 200, "{\"height\":1}"},
        {"HEAD /height HTTP/1.1\r\nConnection: close\r\n\r\n", 200, "Content-Length: 12\r\n"},
        {"DELETE /tx HTTP/1.1\r\nConnection: close\r\n\r\n", 405, ""},
    };
    for (const auto& c : cases) {
        const std::string reply = httpExchange(httpPort, c.request);
        EXPECT_EQ(status(reply), c.status) << c.request.substr(0, 80) << " -> " << reply.substr(0, 300);
        EXPECT_NE(reply.find(c.says), std::string::npos) << reply.substr(0, 300);
    }
    EXPECT_EQ(httpExchange(httpPort, "HEAD /height HTTP/1.1\r\nConnection: close\r\n\r\n").find("{"),
              std::string::npos);  // HEAD: the length, no body

    // The mempool stops short of what a block message can carry.
    const std::string big = "\"" + std::string(900000, 'a') + "\"";
    int accepted = 0, full = 0;
    for (int i = 0; i < 4; ++i) {
        const int s = status(httpExchange(httpPort, post("/tx", tx(std::to_string(i), ",\"token\":" + big))));
        accepted += s == 200;
        full += s == 429;
    }
    EXPECT_EQ(accepted, 2);  // 2 MiB in all
    EXPECT_EQ(full, 2);
    EXPECT_TRUE(node->waitForOutput("refused a transaction: mempool full", std::chrono::seconds(5)));
}

TEST_F(RunningNode, KeepsAcceptingAfterRunningOutOfDescriptors) {
    // A limit low enough that a few dozen clients exhaust it.
    start({}, {"/usr/bin/prlimit", "--nofile=40", "--"});
    // Clients that leave at once, before the exhaustion: UBSan checks a
    // dynamic type the first time it meets it through a pipe, which cannot be
    // made without descriptors, so the end-of-stream path is met here first.
    for (unsigned short port : {httpPort, wsPort}) ::close(connectTo(port));
    ASSERT_TRUE(serving());
    std::vector<int> clients;
    for (int i = 0; i < 60; ++i) clients.push_back(connectTo(wsPort));
    ASSERT_TRUE(node->waitForOutput("ws: accept failed", std::chrono::seconds(10))) << node->err();
    for (int i = 0; i < 3; ++i) clients.push_back(connectTo(httpPort));
    ASSERT_TRUE(node->waitForOutput("http: accept failed", std::chrono::seconds(10))) << node->err();
    for (int fd : clients) ::close(fd);
    EXPECT_TRUE(wait_until([&] { return serving(); }, 10000)) << node->err();
    int fd = -1;
    EXPECT_TRUE(wait_until([&] { return (fd = wsOpen(wsPort)) >= 0; }, 10000));
    ::close(fd);
    EXPECT_TRUE(node->waitForOutput("ws: accepting again", std::chrono::seconds(5)));
    EXPECT_TRUE(node->waitForOutput("http: accepting again", std::chrono::seconds(5)));
}

TEST_F(RunningNode, DropsSilentSlowAndNonReadingClientsAndMakesRoom) {
    start({"--max-connections", "3", "--handshake-seconds", "5", "--idle-seconds", "2"});
    using Clock = std::chrono::steady_clock;
    // WebSocket: two clients that shake hands and then say nothing, and the
    // miner's own client, which answers the node's pings.
    int silent[2];
    for (int& fd : silent) ASSERT_GE(fd = wsOpen(wsPort), 0);
    WsPlain miner;
    ASSERT_TRUE(miner.connect_url("ws://127.0.0.1:" + std::to_string(wsPort)));
    // Full: a newcomer is let in, and the longest silent client makes room at once.
    const auto full = Clock::now();
    const int newcomer = wsOpen(wsPort);
    EXPECT_GE(newcomer, 0);
    EXPECT_TRUE(endsWithin(silent[0], 900));
    // The other leaves its ping unanswered and is dropped; the miner stays.
    EXPECT_TRUE(endsWithin(silent[1], 4000));
    EXPECT_GT(Clock::now() - full, std::chrono::milliseconds(900));
    EXPECT_TRUE(node->waitForOutput("ws: dropped a client that left a ping unanswered", std::chrono::seconds(5)));
    EXPECT_TRUE(node->waitForOutput("ws: 3 connections open; dropping the longest silent", std::chrono::seconds(1)));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_GE(miner.fd.load(), 0);
    for (int fd : {silent[0], silent[1], newcomer}) ::close(fd);
    miner.close();

    // HTTP: three clients trickling their headers a byte at a time fill the
    // server; a plain request still gets its answer, and the tricklers are
    // cut off at the header deadline, long before the request's 5 s.
    std::vector<int> slow;
    for (int i = 0; i < 3; ++i) {
        slow.push_back(connectTo(httpPort));
        write_all(slow.back(), "GET /height HTTP/1.1\r\n");
    }
    const auto trickling = Clock::now();
    EXPECT_EQ(status(httpExchange(httpPort, get("/height"))), 200);
    size_t cut = 0;
    while (cut < slow.size() && Clock::now() - trickling < std::chrono::milliseconds(3500)) {
        cut = 0;
        for (int fd : slow) cut += send(fd, "X", 1, MSG_NOSIGNAL) < 0 || endsWithin(fd, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_EQ(cut, slow.size());
    for (int fd : slow) ::close(fd);

    // Malformed requests held open are answered 400 and give their slots
    // back at once: the polls after them are served, not refused with 503.
    std::vector<int> malformed;
    for (int i = 0; i < 3; ++i) {
        malformed.push_back(connectTo(httpPort));
        write_all(malformed.back(), "NOT HTTP AT ALL\r\n\r\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(status(httpExchange(httpPort, get("/height"))), 200) << i;
    for (int fd : malformed) {
        EXPECT_EQ(status(readToEnd(fd)), 400);
        ::close(fd);
    }

    // A client that sends and never reads: its answers pile up until it is dropped.
    int greedy = wsOpen(wsPort, 4096);
    ASSERT_GE(greedy, 0);
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += wsFrame(R"({"event":5})");
    const std::string dropped = "ws: dropped a client that leaves its messages unread";
    for (int i = 0; i < 40 && !node->waitForOutput(dropped, std::chrono::milliseconds(1)); ++i)
        write_all(greedy, burst);
    EXPECT_TRUE(node->waitForOutput(dropped, std::chrono::seconds(10)));
    ::close(greedy);
    // Thousands of rejections, a few dozen log lines.
    const std::string log = node->err();
    size_t lines = 0;
    for (size_t at = log.find("rejected a message"); at != std::string::npos; at = log.find("rejected a message", at + 1))
        ++lines;
    EXPECT_LT(lines, 200u);
    // A message over the size limit costs its sender the connection, with a log line.
    int big = wsOpen(wsPort);
    ASSERT_GE(big, 0);
    write_all(big, wsFrame(std::string(5 << 20, ' ')));
    EXPECT_EQ(wsReceive(big), "");
    ::close(big);
    EXPECT_TRUE(node->waitForOutput("ws: dropped a client whose message went over", std::chrono::seconds(5)));
    EXPECT_TRUE(serving());
}

TEST_F(RunningNode, RefusesBadOptionsWithOneLine) {
    for (const std::vector<std::string>& extra : {std::vector<std::string>{"--http-port", "84537"},
                                                 {"--http-port", "19503.9"}, {"--target", "zz"}, {"--target", ""},
                                                 {"--block-seconds", "nan"}, {"--ping-seconds", "-1"},
                                                 {"--address", "localhost:1"}, {"--max-connections", "0"},
                                                 {"--idle-seconds", "-1"}, {"--work-checks", "0"},
                                                 {"--trust-stored-work"}, {"--data"}, {"--tls-cert", "c.pem"},
                                                 {"--tls-key", "k.pem"}}) {
        ProcessResult r = run_process(command(extra), {}, std::chrono::seconds(20));
        EXPECT_EQ(r.exitCode, 1) << extra[0];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // TLS files that cannot be used stop the node at start, with the reason.
    ProcessResult tls = run_process(command({"--tls-cert", "/nonexistent.pem", "--tls-key", "/nonexistent.key"}), {},
                                    std::chrono::seconds(20));
    EXPECT_EQ(tls.exitCode, 2);
    EXPECT_EQ(tls.err.rfind("[node] cannot use the TLS certificate /nonexistent.pem: ", 0), 0u) << tls.err;
    EXPECT_EQ(std::count(tls.err.begin(), tls.err.end(), '\n'), 1) << tls.err;
    ProcessResult help = run_process({DEVNODE_BINARY, "--help"}, {}, std::chrono::seconds(20));
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--http-port"), std::string::npos);
}

// Over TLS: a verified client is served on both channels; a client that
// never finishes the TLS handshake is dropped at the handshake time, and
// plain text gets no answer.
TEST_F(RunningNode, OverTlsServesVerifiedClientsAndDropsStalledHandshakes) {
    const TestPki pki;
    start({"--tls-cert", pki.certFile(), "--tls-key", pki.keyFile(), "--handshake-seconds", "1"});
    EXPECT_TRUE(node->waitForOutput("https://127.0.0.1:" + std::to_string(httpPort) + " wss://127.0.0.1:" +
                                        std::to_string(wsPort) + "\n",
                                    std::chrono::seconds(1)))
        << node->err();
    const auto begin = std::chrono::steady_clock::now();
    const int stalledHttp = connectTo(httpPort), stalledWs = connectTo(wsPort);
    write_all(stalledWs, std::string("\x16\x03\x01", 3));  // the start of a hello, and no more
    EXPECT_TRUE(endsWithin(stalledHttp, 4000));
    EXPECT_TRUE(endsWithin(stalledWs, 4000));
    EXPECT_GT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(800));
    ::close(stalledHttp);
    ::close(stalledWs);
    EXPECT_NE(status(httpExchange(httpPort, get("/height"))), 200);

    NodeApi api("https://127.0.0.1:" + std::to_string(httpPort), "wss://localhost:" + std::to_string(wsPort), {},
                nullptr, TlsTrust{pki.caFile()});
    std::uint64_t h = 0;
    EXPECT_TRUE(api.getBlockHeight(h));
    EXPECT_EQ(h, 1u);
    EXPECT_TRUE(api.ws_connected());
    EXPECT_TRUE(api.send_block_event("{}"));
    EXPECT_TRUE(node->waitForOutput("[node] rejected a message: missing event\n", std::chrono::seconds(5)))
        << node->err();
}

// Every line of the data file must be the block that was accepted there.
TEST_F(RunningNode, LoadsOnlyAValidChainAndSaysWhichLineIsNot) {
    Signer signer;
    ASSERT_TRUE(signer.init(kTestKey, false));
    std::vector<std::string> lines;
    std::string target;
    {
        // A long block time: blocks a second apart halve the target each time,
        // and a restarted node must come to the same target from the blocks.
        Chain chain({kEasy, 1000, "", data.path});
        for (int tries = 0; chain.height() < 4 && tries < 100; ++tries) chain.submit(minedBlock(chain, signer));
        ASSERT_EQ(chain.height(), 4u);
        target = chain.target();
        ASSERT_EQ(target, "1" + std::string(63, 'f'));
        std::ifstream in(data.path);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
    }
    ASSERT_EQ(lines.size(), 3u);
    auto edited = [&](int n, const std::function<void(json&)>& change) {
        std::vector<std::string> out = lines;
        json b = json::parse(out[size_t(n)]);
        change(b);
        out[size_t(n)] = b.dump();
        return out;
    };
    json slow = json::parse(lines[2]);  // a re-signed last block claiming an easier diff
    slow["diff"] = "7" + std::string(63, 'f');
    slow = resign(slow, signer);
    std::vector<std::string> withSlow = lines;
    withSlow[2] = slow.dump();
    const struct {
        std::vector<std::string> lines;
        std::string tail;  // after the last line feed
        std::vector<std::string> options;
        std::string error;  // "" when the chain loads
    } cases[] = {
        {lines, "{\"timestamp\":3,\"transa", {}, ""},  // torn by a crash: cut off, logged
        {{lines[0], lines[1], "{\"timestamp\":3,\"transa"}, "", {}, "line 3: not JSON"},
        {edited(1, [](json& b) { b["transactions"][1]["amount"] = 1e15; }), "", {},
         "line 2: malformed block: transaction 1: amount is not"},
        {edited(1, [](json& b) { b["hash"] = "1234"; }), "", {}, "line 2: hash does not match the block"},
        {edited(1, [](json& b) { b["hash"] = "1234"; }), "", {"--trust-stored-work"},
         "line 3: prev_hash is not the hash of the block before it"},
        {edited(0, [](json& b) { b["prev_hash"] = "00"; }), "", {}, "line 1: prev_hash is not"},
        {{lines[0], lines[2]}, "", {}, "line 2: prev_hash is not"},
        {{lines[0], lines[1], lines[2], "{}"}, "", {}, "line 4: malformed block: missing timestamp"},
        {edited(2, [](json& b) { b["extra"] = 1; }), "", {}, "line 3: malformed block: unknown member"},
        {withSlow, "", {}, "line 3: diff 7fff"},
        {lines, "", {"--target", "3" + std::string(63, 'f')}, "line 1: diff"},
    };
    for (const auto& c : cases) {
        {
            std::ofstream out(data.path, std::ios::trunc);
            for (const std::string& l : c.lines) out << l << '\n';
            out << c.tail;
        }
        std::vector<std::string> extra{"--data", data.path, "--block-seconds", "1000"};
        extra.insert(extra.end(), c.options.begin(), c.options.end());
        if (!c.error.empty()) {
            ProcessResult r = run_process(command(extra), {}, std::chrono::seconds(30));
            EXPECT_EQ(r.exitCode, 2) << c.error;
            EXPECT_NE(r.err.find(data.path + " " + c.error), std::string::npos) << r.err;
            continue;
        }
        start(extra);
        EXPECT_TRUE(node->waitForOutput("cut a torn last line (22 bytes)", std::chrono::seconds(1)));
        EXPECT_NE(httpExchange(httpPort, get("/height")).find("{\"height\":4}"), std::string::npos);
        EXPECT_NE(httpExchange(httpPort, get("/diff")).find(target), std::string::npos);
        // One chain, one node: a second one on the same file refuses to start.
        ProcessResult second = run_process(command({"--data", data.path, "--http-port", "0", "--ws-port", "0"}), {},
                                           std::chrono::seconds(30));
        EXPECT_EQ(second.exitCode, 2);
        EXPECT_NE(second.err.find("is in use by another node"), std::string::npos) << second.err;
        TearDown();
        node.reset();
    }
}

// The data file holds blocks and nothing else: not the log when standard
// error was closed at start, not a torn line when a file-size limit stops a
// write; that block is refused with the reason, and the node serves on.
TEST_F(RunningNode, DataFileStaysWholeWithoutStderrAndUnderAFileSizeLimit) {
    Signer signer;
    ASSERT_TRUE(signer.init(kTestKey, false));
    Chain mirror({kEasy, 0.001, "", ""});  // follows the node's chain
    auto submit = [&] {
        const json block = minedBlock(mirror, signer);
        const int fd = wsOpen(wsPort);
        if (fd < 0) return json();
        write_all(fd, wsFrame(blockEvent(block)));
        const json answer = json::parse(wsReceive(fd), nullptr, false);
        ::close(fd);
        if (answer.value("event", "") == "accepted") mirror.submit(block);
        return answer;
    };
    std::vector<std::string> argv = {"/bin/bash", "-c", "exec \"$0\" \"$@\" 2>&-"};
    for (const std::string& a : command({"--data", data.path})) argv.push_back(a);
    node = std::make_unique<BackgroundProcess>(argv);
    ASSERT_TRUE(wait_until([&] { return serving(); }, 20000));
    ASSERT_EQ(submit().value("event", ""), "accepted");
    TearDown();
    std::ifstream in(data.path);
    std::string line, content;
    for (int n = 0; std::getline(in, line); ++n) {
        EXPECT_EQ(n, 0) << line.substr(0, 200);
        EXPECT_TRUE(json::parse(line, nullptr, false).contains("hash")) << line.substr(0, 200);
        content += line + "\n";
    }

    // Room for half a line more: the next block cannot be written whole.
    start({"--data", data.path}, {"/usr/bin/prlimit", "--fsize=" + std::to_string(content.size() * 3 / 2), "--"});
    const json refused = submit();
    EXPECT_EQ(refused.value("reason", "").rfind("node error: cannot write block: File too large", 0), 0u)
        << refused.dump();
    EXPECT_TRUE(serving());
    TearDown();
    start({"--data", data.path});
    EXPECT_NE(httpExchange(httpPort, get("/height")).find("{\"height\":2}"), std::string::npos);
    EXPECT_EQ(node->err().find("torn"), std::string::npos) << node->err();
}
