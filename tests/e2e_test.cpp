// The miner against the development node, both as users run them.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "block/canonical.h"
#include "block/signer.h"
#include "node/node_api.h"
#include "support/device.h"
#include "worker/candidate.h"
#include "worker/chain_view.h"
#include "worker/identity.h"
#include "worker/rewards.h"
#include "worker/worker.h"
#include "worker/worker_ctx.h"
#include "consensus.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/test_pki.h"

using namespace quorlen::worker;
using namespace quorlen::block;
using namespace quorlen::node;

namespace {

// Every test here runs the miner on a device.
[[maybe_unused]] const testing::Environment* const kNeedsDevice = testing::AddGlobalTestEnvironment(new NeedsDevice);

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

long postJson(const std::string& url, const std::string& body) {
    CURL* c = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    long code = 0;
    if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return code;
}

class LocalNetwork : public testing::Test {
protected:
    unsigned short httpPort = free_port(), wsPort = free_port();
    std::string data = "/tmp/quorlen-e2e-" + std::to_string(getpid()) + ".dat";
    std::unique_ptr<BackgroundProcess> node, miner;
    std::unique_ptr<TestPki> pki;  // set: the node serves both channels over TLS

    std::string http() const { return (pki ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(httpPort); }
    std::string ws() const { return (pki ? "wss" : "ws") + std::string("://127.0.0.1:") + std::to_string(wsPort); }

    static std::unique_ptr<BackgroundProcess> devnode(unsigned short http, unsigned short ws, const std::string& data,
                                                      const std::string& target,
                                                      const std::vector<std::string>& more = {}) {
        std::vector<std::string> argv{DEVNODE_BINARY, "--http-port", std::to_string(http), "--ws-port",
                                      std::to_string(ws), "--data", data, "--target", target, "--block-seconds",
                                      "0.001", "--ping-seconds", "0.5"};
        argv.insert(argv.end(), more.begin(), more.end());
        auto node = std::make_unique<BackgroundProcess>(argv);
        EXPECT_TRUE(node->waitForOutput("[node] height", std::chrono::seconds(20))) << node->err();
        return node;
    }
    void startNode(const std::string& target = "3" + std::string(63, 'f')) {
        std::vector<std::string> tls;
        if (pki) tls = {"--tls-cert", pki->certFile(), "--tls-key", pki->keyFile()};
        node = devnode(httpPort, wsPort, data, target, tls);
    }
    void startMiner(std::optional<std::string> diffOverride = std::nullopt, std::vector<std::string> more = {},
                    EnvChanges env = {}) {
        std::vector<std::string> args = miner_args({"--http", http(), "--ws", ws()});
        args.insert(args.end(), more.begin(), more.end());
        env["DIFF_OVERRIDE"] = diffOverride;
        miner = std::make_unique<BackgroundProcess>(args, miner_env(env));
    }
    std::uint64_t height(const std::string& node = {}) {
        NodeApi api(node.empty() ? http() : node, "", {}, nullptr, TlsTrust{pki ? pki->caFile() : ""});
        std::uint64_t h = 0;
        (void)api.getBlockHeight(h);  // 0 when the node does not answer
        return h;
    }
    void TearDown() override {
        if (miner) {
            miner->signal(SIGINT);
            ProcessResult r = miner->wait(std::chrono::seconds(30));
            EXPECT_EQ(r.exitCode, 0) << r.err;
        }
        if (node) {
            node->signal(SIGINT);
            EXPECT_EQ(node->wait(std::chrono::seconds(30)).exitCode, 0);
        }
        unlink(data.c_str());
    }
};

}  // namespace

TEST_F(LocalNetwork, BlocksAreAcceptedAndCarryPostedTransactions) {
    startNode();
    startMiner();
    ASSERT_TRUE(wait_until([&] { return height() >= 3; }, 60000)) << node->err() << miner->err();
    // The node's answers reach the operator.
    EXPECT_TRUE(miner->waitForOutput("[verdict] GPU#0 accepted hash=", std::chrono::seconds(10))) << miner->err();
    const std::string tx =
        R"({"sender":"02aa","receiver":"03bb","amount":12,"signature":"3045","nonce":7,"timestamp":1,"token":"tok"})";
    EXPECT_EQ(postJson(http() + "/tx", tx), 200);
    EXPECT_EQ(postJson(http() + "/tx", R"({"sender":"02aa"})"), 400);
    NodeApi api(http(), "");
    nlohmann::json mempool = nlohmann::json::array({1});
    ASSERT_TRUE(wait_until([&] {
        api.getMempool(mempool);
        return mempool.empty();
    }, 60000)) << node->err();
    bool found = false;
    for (std::uint64_t n = 1; n < height(); ++n) {
        nlohmann::json b;
        ASSERT_TRUE(api.getBlock(n, b));
        for (const auto& t : b["transactions"]) found = found || (t.contains("token") && t["token"] == "tok");
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(count(node->err(), "rejected block: bad signature"), 0u);
    EXPECT_EQ(count(node->err(), "rejected block: hash does not match"), 0u);
    EXPECT_EQ(count(node->err(), "rejected block: wrong"), 0u);
}

// A node behind a private CA: without the CA the miner is refused on both
// channels, says why, and the node receives nothing; with it, blocks go
// through wss and the chain is polled over https.
TEST_F(LocalNetwork, TlsNodeIsMinedThroughItsCaAndRefusedWithoutIt) {
    pki = std::make_unique<TestPki>();
    startNode();
    startMiner();
    const std::string why = "unable to get local issuer certificate";
    ASSERT_TRUE(miner->waitForOutput("[ws] connect failed: " + ws() + " (certificate verify failed: " + why + ")\n",
                                     std::chrono::seconds(60)))
        << miner->err();
    EXPECT_TRUE(miner->waitForOutput("[node] /height failed: SSL certificate problem: " + why + "\n",
                                     std::chrono::seconds(20)))
        << miner->err();
    ASSERT_TRUE(miner->waitForOutput("[submit] GPU#0 FAIL ws=0", std::chrono::seconds(60), true)) << miner->out();
    miner->signal(SIGINT);
    ProcessResult refused = miner->wait(std::chrono::seconds(30));
    EXPECT_EQ(refused.exitCode, 0) << refused.err;
    EXPECT_EQ(refused.out.find("[submit] GPU#0 OK"), std::string::npos) << refused.out;
    EXPECT_EQ(height(), 1u);
    EXPECT_EQ(count(node->err(), "accepted") + count(node->err(), "rejected"), 0u) << node->err();

    startMiner(std::nullopt, {"--ca-file", pki->caFile()});
    ASSERT_TRUE(wait_until([&] { return height() >= 3; }, 60000)) << node->err() << miner->err();
    EXPECT_TRUE(miner->waitForOutput("[verdict] GPU#0 accepted hash=", std::chrono::seconds(10))) << miner->err();
    EXPECT_TRUE(miner->waitForOutput("[ws] connected: " + ws() + "\n", std::chrono::seconds(1))) << miner->err();
    EXPECT_EQ(miner->err().find("failed"), std::string::npos) << miner->err();
}

TEST_F(LocalNetwork, RejectionsAreShownWithTheNodesReason) {
    startNode("0000" + std::string(60, 'f'));
    // The miner takes every hash for a hit and claims the easiest target; the
    // node holds its blocks to its own.
    startMiner(std::string(64, 'f'));
    ASSERT_TRUE(miner->waitForOutput(" is not the target ", std::chrono::seconds(60))) << miner->err();
    const std::string err = miner->err();
    const std::regex line(R"(\[verdict\] GPU#0 rejected hash=([0-9a-f]+) reason: diff f{64} is not the target f{60}\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, line)) << err;
    // The hash named is one the miner submitted (its line may come after the
    // verdict: the node can answer before the worker has printed it).
    EXPECT_TRUE(miner->waitForOutput(" hash=" + std::string(64 - m[1].length(), '0') + m[1].str() + "\n",
                                     std::chrono::seconds(5), true))
        << miner->out();
    EXPECT_EQ(err.find("unrecognised frame"), std::string::npos) << err;
}

TEST_F(LocalNetwork, NodeRestartKeepsTheChainAndTheMinerCarriesOn) {
    startNode();
    startMiner();
    ASSERT_TRUE(wait_until([&] { return height() >= 3; }, 60000)) << node->err();
    node->signal(SIGINT);
    ASSERT_EQ(node->wait(std::chrono::seconds(30)).exitCode, 0);
    const std::uint64_t before = height();  // 0: nobody answers
    EXPECT_EQ(before, 0u);
    startNode();
    const std::uint64_t kept = height();
    EXPECT_GE(kept, 3u);
    EXPECT_TRUE(miner->waitForOutput("[ws] reconnected: " + ws() + "\n", std::chrono::seconds(60)));
    EXPECT_TRUE(wait_until([&] { return height() > kept; }, 60000)) << node->err();
}

// The primary dies while the miner mines: the backup takes over at once, a
// block found then is accepted there, none is reported as failed, and the
// miner returns to the primary once it is back (the periods shortened).
TEST_F(LocalNetwork, BackupNodeTakesOverWithoutLosingABlockAndThePrimaryGetsThemBack) {
    startNode();
    const unsigned short backupHttp = free_port(), backupWs = free_port();
    const std::string backupData = data + ".backup";
    const std::string bHttp = "http://127.0.0.1:" + std::to_string(backupHttp);
    const std::string bWs = "ws://127.0.0.1:" + std::to_string(backupWs);
    std::unique_ptr<BackgroundProcess> backup = devnode(backupHttp, backupWs, backupData, "3" + std::string(63, 'f'));
    startMiner(std::nullopt, {"--backup-http", bHttp, "--backup-ws", bWs, "--summary-seconds", "1"},
               {{"QUORLEN_FAILOVER_TEST_MS", "1000"}});
    ASSERT_TRUE(wait_until([&] { return height() >= 3; }, 60000)) << node->err() << miner->err();
    const std::uint64_t backupBefore = height(bHttp);
    EXPECT_EQ(miner->err().find("[node] switched"), std::string::npos) << miner->err();
    EXPECT_TRUE(miner->waitForOutput("; active node primary, switches 0\n", std::chrono::seconds(10))) << miner->err();

    node->signal(SIGKILL);
    node->wait(std::chrono::seconds(30));
    EXPECT_TRUE(miner->waitForOutput("[node] switched to the backup node: " + bHttp + " " + bWs + " (",
                                     std::chrono::seconds(30)))
        << miner->err();
    EXPECT_TRUE(wait_until([&] { return height(bHttp) >= backupBefore + 3; }, 60000)) << backup->err();
    EXPECT_TRUE(miner->waitForOutput("; active node backup, switches 1\n", std::chrono::seconds(10))) << miner->err();

    startNode();
    EXPECT_TRUE(miner->waitForOutput("[node] switched back to the primary node: " + http() + " " + ws() + " (",
                                     std::chrono::seconds(30)))
        << miner->err();
    const std::uint64_t back = height();
    EXPECT_TRUE(wait_until([&] { return height() > back + 1; }, 60000)) << node->err() << miner->err();
    // Every hit went to a node that was up: none failed. (The backup keeps
    // a chain of its own: a hit on the dead primary's tip is stale there,
    // said so, and reported FAIL.)
    EXPECT_EQ(count(miner->out(), " FAIL ws=0"),
              count(miner->err(), " not sent: no node that answers has the tip it was found on"))
        << miner->out() << miner->err();
    EXPECT_EQ(count(miner->err(), " failed 0 "), count(miner->err(), "[stats] ")) << miner->err();
    // Rejections only for the race every miner has: a pass built before a
    // refresh saw its own block accepted.
    for (const std::string& err : {backup->err(), node->err()})
        EXPECT_EQ(count(err, "rejected block"), count(err, "rejected block: stale prev_hash")) << err;
    backup->signal(SIGINT);
    EXPECT_EQ(backup->wait(std::chrono::seconds(30)).exitCode, 0);
    unlink(backupData.c_str());
}

TEST_F(LocalNetwork, ForgedBlocksAreRejectedOverTheWireForTheRightReason) {
    startNode(std::string(64, 'f'));  // every hash meets it: the other checks decide
    NodeApi api(http(), ws());
    ASSERT_TRUE(api.ws_connected());
    Signer signer, other;
    ASSERT_TRUE(signer.init(kTestKey, false));
    ASSERT_TRUE(other.init(kDevPrivateKey, false));
    nlohmann::json tip;
    ASSERT_TRUE(api.getBlock(0, tip));
    std::string target;
    ASSERT_TRUE(api.getDiff(target));

    // An honest block on the tip, then variations of it.
    auto block = [&](const std::function<void(nlohmann::json&)>& change, const Signer& by) {
        ChainView view;
        view.height = 1;
        view.prevHash = tip["hash"];
        view.diff = target;
        std::tie(view.devAmount, view.minerAmount) = split_reward(block_reward(1));
        nlohmann::json doc = make_candidate(view, signer.pubhex, 1);
        change(doc);
        const std::string text = canonical_msg(doc);
        return block_event_message(build_block_for_submit(doc, sign_hex(by, text),
                                                          submitted_hash_text(consensus::pow_hash(text))));
    };
    const auto same = [](nlohmann::json&) {};
    struct Case {
        std::string message, reason;
    } cases[] = {
        {block(same, other), "bad signature"},
        {block([](nlohmann::json& d) { d["transactions"][1]["amount"] = 1; }, signer), "wrong miner reward"},
        {block([](nlohmann::json& d) { d["prev_hash"] = "00"; }, signer), "stale prev_hash"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(api.send_block_event(c.message));
        EXPECT_TRUE(node->waitForOutput("[node] rejected block: " + c.reason + "\n", std::chrono::seconds(20)))
            << node->err();
    }
    // Over the target: a node whose target nothing meets.
    node->signal(SIGINT);
    node->wait(std::chrono::seconds(30));
    unlink(data.c_str());
    startNode("0");
    target = "0";
    NodeApi again(http(), ws());
    ASSERT_TRUE(again.ws_connected());
    ASSERT_TRUE(again.send_block_event(block(same, signer)));
    EXPECT_TRUE(node->waitForOutput("[node] rejected block: hash above target\n", std::chrono::seconds(20)))
        << node->err();
    EXPECT_EQ(height(), 1u);
}
