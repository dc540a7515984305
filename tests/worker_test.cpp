#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

#include "block/canonical.h"
#include "block/hex.h"
#include "gpu/gpu_hasher.h"
#include "node/node_reply.h"
#include "ecdsa_verify.h"
#include "support/device.h"
#include "support/faulty_hasher.h"
#include "support/raw_peer.h"
#include "support/recording_ws_server.h"
#include "support/reference_argon2.h"
#include "support/scripted_node.h"
#include "support/test_key.h"
#include "worker/candidate.h"
#include "worker/chain_view.h"
#include "worker/identity.h"
#include "worker/rewards.h"
#include "worker/pass_template.h"
#include "worker/worker.h"

using nlohmann::json;

using namespace quorlen::block;
using namespace quorlen::worker;
using namespace quorlen::node;

namespace {

std::unique_ptr<WorkerCtx> makeCtx(const std::string& http, const std::string& ws = "") {
    auto ctx = std::make_unique<WorkerCtx>();
    testing::internal::CaptureStderr();
    ctx->api = std::make_unique<NodeApi>(http, ws);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ctx->signer.init(kTestKey, false));
    ctx->minerPub = ctx->signer.pubhex;
    ctx->devReady = ctx->devSigner.init(kDevPrivateKey, false);
    ctx->devPub = ctx->devSigner.pubhex;
    return ctx;
}

json tx(int amount, const std::string& sig = "ab") {
    return {{"sender", "02aa"}, {"receiver", "03bb"}, {"amount", amount}, {"signature", sig}, {"nonce", 1},
            {"timestamp", 5}};
}

std::string hex(const std::vector<std::uint8_t>& b) { return hexLower(b.data(), b.size()); }

// The host device's hasher, ready for a worker.
struct HostHasher {
    argon2::cuda::GlobalContext global;
    GpuHasher hasher{&first_device(global), false, true};
    HostHasher() { hasher.init(global); }
};

// Runs the worker until `done` holds (30 s at most); true when it did.
bool mineUntil(WorkerCtx& ctx, const std::function<bool()>& done) {
    std::atomic<bool> stop{false};
    ctx.stop = &stop;
    std::thread worker(worker_thread, &ctx);
    const bool reached = wait_until(done, 30000);
    stop = true;
    worker.join();
    ctx.stop = nullptr;
    return reached;
}

}  // namespace

TEST(Rewards, EveryRowOfTheTable) {
    struct Row {
        std::uint64_t height, total, dev, miner;
    } rows[] = {{0, 10000000, 700000, 9300000},     {1, 9999990, 699999, 9299991},
                {100, 9999000, 699930, 9299070},    {1000, 9990005, 699300, 9290705},
                {100000, 9048374, 633386, 8414988}, {693147, 5000001, 350000, 4650001},
                {693148, 4999996, 350000, 4649996}, {1000000, 3678794, 257516, 3421278},
                {10000000, 454, 32, 422},           {16811242, 1, 0, 1},
                {16811243, 0, 0, 0},                {~0ULL, 0, 0, 0}};
    for (const Row& r : rows) {
        EXPECT_EQ(block_reward(r.height), r.total) << r.height;
        EXPECT_EQ(split_reward(r.total), std::make_pair(r.dev, r.miner)) << r.height;
    }
    EXPECT_EQ(split_reward(50), std::make_pair(std::uint64_t(4), std::uint64_t(46)));  // 3.5 rounds up
    EXPECT_EQ(split_reward(~0ULL).first + split_reward(~0ULL).second, ~0ULL);
}

TEST(TargetTest, BigEndianComparison) {
    const std::string ff64(64, 'f');
    EXPECT_TRUE(meets_target(std::string(64, 'a'), ff64));
    EXPECT_TRUE(meets_target(ff64, ff64));  // equality is a hit
    EXPECT_TRUE(meets_target(std::string(62, '0') + "ff", "ff"));
    EXPECT_FALSE(meets_target(std::string(61, '0') + "100", "ff"));
    EXPECT_TRUE(meets_target("00ff", "0x0100"));
    EXPECT_FALSE(meets_target("0101", "100"));
    EXPECT_TRUE(meets_target("", "0"));
}

TEST(SubmittedHash, LowercaseWithoutLeadingZeros) {
    EXPECT_EQ(submitted_hash_text("000ABc"), "abc");
    EXPECT_EQ(submitted_hash_text(std::string(64, '0')), "0");
    EXPECT_EQ(submitted_hash_text("0x12"), "x12");  // no prefix is removed
}

TEST(PassTemplate, SameBytesAndDrawsAsTheDocumentPath) {
    ChainView view;
    view.height = 9;
    view.prevHash = "00ab\"\n";
    view.diff = "0FFF";
    view.devAmount = 1;
    view.minerAmount = 2;
    json pool = json::array({tx(5), tx(-1), json::parse(R"({"sender":"a","receiver":"b","amount":2.9,
        "signature":"","nonce":0,"timestamp":1,"unlock":null,"token":"t","mint":{"b":1,"a":[1,"x"]},"fee":9})")});
    for (const json& mempool : {json::array(), pool}) {
        adopt_mempool(view, mempool);
        for (const std::string& proposer : {std::string("02ab"), std::string("q\"uote")}) {
            std::srand(1234);
            std::vector<std::string> expected;
            for (int i = 0; i < 5; ++i) expected.push_back(canonical_msg(make_candidate(view, proposer, 1700000000123)));
            std::srand(1234);
            PassTemplate pass(view, proposer, 1700000000123);
            for (int i = 0; i < 5; ++i) {
                std::string text = "stale text";
                pass.write(text);
                EXPECT_EQ(text, expected[i]);
            }
            EXPECT_NE(expected[0], expected[1]);  // fresh nonces per slot
        }
    }
}

TEST(Candidate, MembersAndRewardTransactions) {
    ChainView view;
    view.prevHash = "ph";
    view.diff = "ff";
    view.devAmount = 700000;
    view.minerAmount = 9300000;
    adopt_mempool(view, json::array({tx(3)}));
    json c = make_candidate(view, "02pp", 42);
    EXPECT_EQ(c["transactions"].size(), 3u);
    EXPECT_EQ(c["transactions"][0], tx(3));
    const json& dev = c["transactions"][1];
    EXPECT_EQ(dev["receiver"], DEV_WALLET_JS);
    EXPECT_EQ(dev["amount"], 700000u);
    EXPECT_EQ(dev["sender"], "network");
    EXPECT_LT(dev["nonce"].get<std::uint64_t>(), 1000000u);
    EXPECT_EQ(c["transactions"][2]["receiver"], "02pp");
    EXPECT_EQ(c["transactions"][2]["amount"], 9300000u);
    EXPECT_LT(c["nonce"].get<std::uint64_t>(), 1000000000u);
    EXPECT_EQ(c["timestamp"], 42u);
    EXPECT_EQ(c["prev_hash"], "ph");
    EXPECT_EQ(c["diff"], "ff");
    Signer dev2;
    ASSERT_TRUE(dev2.init(kDevPrivateKey, false));
    EXPECT_EQ(dev2.pubhex, DEV_WALLET_JS);
}

TEST(Mempool, EntriesThatCannotBeWrittenAreLeftOutWithOneLine) {
    ChainView view;
    json noSig = tx(1);
    noSig.erase("signature");
    json badAmount = tx(1);
    badAmount["amount"] = "7";
    testing::internal::CaptureStderr();
    adopt_mempool(view, json::array({tx(1), noSig, badAmount, tx(2), 5}));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(view.mempool, json::array({tx(1), tx(2)}));
    EXPECT_NE(err.find("left out 3 of 5"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);  // a leading and a trailing line feed
    // Nested too deeply to be written, copied or read back safely: left out
    // like the others, however it arrived.
    json deep = tx(3);
    json* at = &deep["mint"];
    for (int i = 0; i < 70; ++i) at = &((*at)["m"] = json::object());
    json deepInReply;
    ASSERT_TRUE(node_reply::mempool("[" + tx(4).dump() + ",{\"mint\":" + std::string(50000, '[') +
                                        std::string(50000, ']') + "}]", deepInReply));
    testing::internal::CaptureStderr();
    adopt_mempool(view, json::array({deep, deepInReply[0], deepInReply[1]}));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(view.mempool, json::array({tx(4)}));
    EXPECT_NE(err.find("left out 2 of 3 transactions that cannot be written: nested deeper than 62 levels"),
              std::string::npos) << err;
    testing::internal::CaptureStderr();
    adopt_mempool(view, json::object());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(view.mempool, json::array());
}

TEST(Identity, DeveloperMinutes) {
    auto ctx = makeCtx("http://127.0.0.1:1");
    EXPECT_EQ(pick_identity_at(*ctx, 4).second, ctx->devPub);
    EXPECT_EQ(pick_identity_at(*ctx, 4).first, &ctx->devSigner);
    EXPECT_EQ(pick_identity_at(*ctx, 5).second, ctx->minerPub);
    EXPECT_EQ(pick_identity_at(*ctx, 59).first, &ctx->signer);
    ctx->devEnabled = false;  // --goida
    EXPECT_EQ(pick_identity_at(*ctx, 0).second, ctx->minerPub);
    ctx->devEnabled = true;
    ctx->devReady = false;
    EXPECT_EQ(pick_identity_at(*ctx, 0).second, ctx->minerPub);
    EXPECT_EQ(pick_identity(*ctx).second, ctx->minerPub);
}

TEST(ChainViewFetch, NodeUnreachableAtStart) {
    int port;
    {
        ScriptedNode gone;
        port = std::stoi(gone.httpUrl().substr(gone.httpUrl().rfind(':') + 1));
    }
    auto ctx = makeCtx("http://127.0.0.1:" + std::to_string(port));
    ChainView view;
    view.prevHash = "x";
    load_chain(*ctx, view);
    EXPECT_EQ(view.height, 0u);
    EXPECT_EQ(view.prevHash, "");
    EXPECT_EQ(view.diff, std::string(64, 'f'));
    EXPECT_EQ(view.mempool, json::array());
    EXPECT_EQ(view.devAmount, 700000u);
    EXPECT_EQ(view.minerAmount, 9300000u);
}

TEST(ChainViewFetch, LoadAndRefreshRules) {
    ScriptedNode node;
    node.set("/height", 200, "{\"height\":3}");
    node.set("/block/2", 200, "{\"hash\":\"tip2\"}");
    node.set("/diff", 200, "0x00FFaa\r\n");
    node.set("/mempool", 200, json::array({tx(1)}).dump());
    auto ctx = makeCtx(node.httpUrl());
    ChainView view;
    load_chain(*ctx, view);
    EXPECT_EQ(view.height, 3u);
    EXPECT_EQ(view.prevHash, "tip2");
    EXPECT_EQ(view.diff, "ffaa");
    EXPECT_EQ(view.mempool.size(), 1u);
    EXPECT_EQ(view.refreshedMs, 0u);
    EXPECT_EQ(view.devAmount, split_reward(block_reward(3)).first);

    auto requestsSince = [&](size_t from) {
        auto t = node.targets();
        return std::vector<std::string>(t.begin() + long(from), t.end());
    };
    size_t mark = node.targets().size();
    refresh_chain(*ctx, view, 2000);  // not more than 2000 ms since 0: nothing
    EXPECT_TRUE(requestsSince(mark).empty());
    refresh_chain(*ctx, view, 2001);  // same height: the target only
    EXPECT_EQ(requestsSince(mark), (std::vector<std::string>{"/height", "/diff"}));
    EXPECT_EQ(view.refreshedMs, 2001u);

    node.set("/height", 200, "4");
    node.set("/block/3", 200, "[\"not an object\"]");
    node.set("/mempool", 200, "{}");
    node.set("/diff", 500, "");
    mark = node.targets().size();
    refresh_chain(*ctx, view, 5000);
    EXPECT_EQ(requestsSince(mark), (std::vector<std::string>{"/height", "/block/3", "/mempool", "/diff"}));
    EXPECT_EQ(view.height, 4u);
    EXPECT_EQ(view.prevHash, "tip2");  // a tip that is not an object keeps it
    EXPECT_EQ(view.mempool, json::array());
    EXPECT_EQ(view.diff, "ffaa");  // failed target request keeps it
    EXPECT_EQ(view.devAmount, split_reward(block_reward(4)).first);

    node.set("/height", 200, "5");
    node.set("/block/4", 200, "{\"hash\":7}");
    refresh_chain(*ctx, view, 8000);
    EXPECT_EQ(view.prevHash, "tip2");  // non-text hash keeps it too
    node.set("/height", 200, "6");
    node.set("/block/5", 200, "{\"hash\":\"tip5\"}");
    refresh_chain(*ctx, view, 11000);
    EXPECT_EQ(view.prevHash, "tip5");

    setenv("DIFF_OVERRIDE", "0x00ABcd", 1);
    apply_diff_override(view);
    unsetenv("DIFF_OVERRIDE");
    EXPECT_EQ(view.diff, "0x00ABcd");
    EXPECT_EQ(make_candidate(view, "p", 1)["diff"], "0x00ABcd");
}

// After a switch of nodes the view is the new node's at once: its tip and
// mempool, even at the same height, without waiting for the next refresh.
TEST(ChainViewFetch, AnotherNodesTipIsReadAtOnce) {
    ScriptedNode primary, backup;
    primary.set("/height", 200, "3");
    primary.set("/block/2", 200, "{\"hash\":\"a2\"}");
    backup.set("/height", 200, "3");
    backup.set("/block/2", 200, "{\"hash\":\"b2\"}");
    backup.set("/mempool", 200, json::array({tx(1)}).dump());
    auto ctx = makeCtx(primary.httpUrl());
    ctx->api->add_backup(std::make_unique<NodeClient>(backup.httpUrl(), ""), FailoverTimes{60000, 60000});
    ChainView view;
    testing::internal::CaptureStderr();
    load_chain(*ctx, view);
    EXPECT_EQ(view.prevHash, "a2");
    primary.set("/height", 500, "");
    for (std::uint64_t now : {3000, 6000, 9000}) refresh_chain(*ctx, view, now);
    EXPECT_TRUE(ctx->api->on_backup());
    EXPECT_EQ(view.prevHash, "a2");  // the failed refresh read nothing of the backup's tip
    refresh_chain(*ctx, view, 9001);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(view.height, 3u);
    EXPECT_EQ(view.prevHash, "b2");
    EXPECT_EQ(view.mempool.size(), 1u);
    EXPECT_EQ(view.node, 1u);
    const auto before = backup.targets().size();
    refresh_chain(*ctx, view, 9002);  // and then the usual 2 s again
    EXPECT_EQ(backup.targets().size(), before);
}

// The worker against a scripted node: every submitted block is one a
// validating node would accept.
TEST(WorkerThread, SubmittedBlocksRebuildVerifyAndPay) {
    SKIP_WITHOUT_DEVICE();
    ScriptedNode node;
    node.set("/height", 200, "7");
    node.set("/block/6", 200, "{\"hash\":\"00000abc\"}");
    node.set("/mempool", 200, json::array({tx(11)}).dump());
    node.set("/diff", 200, "{\"diff\":\"" + std::string(64, 'f') + "\"}");
    auto ctx = makeCtx(node.httpUrl(), node.wsUrl());
    ctx->devEnabled = false;  // the user's key whatever the minute
    HostHasher host;
    ctx->hasher = &host.hasher;
    ctx->batch = 2;

    testing::internal::CaptureStdout();
    const bool enough = mineUntil(*ctx, [&] { return node.messages().size() >= 3; });
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(enough);
    EXPECT_NE(out.find("\n[submit] GPU#0 OK ws=1 hash="), std::string::npos) << out;
    EXPECT_GE(ctx->hashes.load(), 6u);

    for (const std::string& message : node.messages()) {
        json event = json::parse(message);
        ASSERT_EQ(event["event"], "block");
        json block = event["data"];
        const std::string hash = block["hash"], signature = block["signature"];
        EXPECT_EQ(message, block_event_message(build_block_for_submit(block, signature, hash)));
        json blank = block;
        blank["hash"] = "";
        blank["signature"] = "";
        const std::string text = canonical_msg(blank);
        EXPECT_EQ(submitted_hash_text(hex(reference_argon2(Argon2Case{}, text))), hash);
        EXPECT_TRUE(openssl_verify(block["proposer"], text, signature));
        EXPECT_EQ(block["proposer"], ctx->minerPub);
        EXPECT_EQ(block["prev_hash"], "00000abc");
        const json& txs = block["transactions"];
        ASSERT_EQ(txs.size(), 3u);
        EXPECT_EQ(txs[0], tx(11));
        auto [dev, miner] = split_reward(block_reward(7));
        EXPECT_EQ(txs[1]["receiver"], DEV_WALLET_JS);
        EXPECT_EQ(txs[1]["amount"], dev);
        EXPECT_EQ(txs[2]["receiver"], ctx->minerPub);
        EXPECT_EQ(txs[2]["amount"], miner);
    }
}

// With two passes in flight, the next pass's refresh can find a new tip
// before the older pass is tested: that pass's hit is counted, named on
// standard error and not sent. A second hit on an unchanged tip is sent.
TEST(WorkerThread, HitsOnAReplacedTipAreCountedNotSent) {
    SKIP_WITHOUT_DEVICE();
    ScriptedNode node;
    auto tipAt = [&](int height) {  // the tip block first: a refresh may come in between
        node.set("/block/" + std::to_string(height - 1), 200, "{\"hash\":\"tip" + std::to_string(height - 1) + "\"}");
        node.set("/height", 200, std::to_string(height));
    };
    tipAt(7);
    node.set("/mempool", 200, "[]");
    node.set("/diff", 200, "{\"diff\":\"" + std::string(64, 'f') + "\"}");  // every hash hits
    auto ctx = makeCtx(node.httpUrl(), node.wsUrl());
    ctx->devEnabled = false;
    HostHasher host;
    ctx->hasher = &host.hasher;
    ctx->batch = 2;
    ctx->gpu = 2;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int height = 7;
    std::size_t atTip = 0;
    // The node moves on after two blocks on its tip, three times.
    const bool moved = mineUntil(*ctx, [&] {
        const std::size_t blocks = node.messages().size();
        if (height < 10 && ctx->stats->stale.load() == std::uint64_t(height - 7) && blocks >= atTip + 2) {
            tipAt(++height);
            atTip = blocks;
        }
        return height == 10 && ctx->stats->stale.load() == 3;
    });
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(moved) << err;
    std::map<std::string, int> onTip;
    for (const std::string& m : node.messages()) ++onTip[json::parse(m)["data"]["prev_hash"].get<std::string>()];
    for (const char* tip : {"tip6", "tip7", "tip8"}) EXPECT_GE(onTip[tip], 2) << tip;
    std::size_t lines = 0;
    for (std::size_t at = err.find("\n[worker] GPU#2 hit hash="); at != std::string::npos;
         at = err.find("\n[worker] GPU#2 hit hash=", at + 1)) {
        ++lines;
        const std::string hash = err.substr(at + 25, 64);
        EXPECT_EQ(out.find(hash), std::string::npos) << hash;  // no [submit] line for it
    }
    EXPECT_EQ(lines, 3u) << err;
    EXPECT_NE(err.find(" not sent: found on the tip at height 7, which the node has since replaced (height 8)\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(ctx->stats->found.load(), ctx->stats->sent.load() + ctx->stats->failed.load() + 3);
}

TEST(WorkerThread, HardTargetSubmitsNothingAndCountsEveryHash) {
    SKIP_WITHOUT_DEVICE();
    ScriptedNode node;
    node.set("/diff", 200, "{\"diff\":\"0\"}");
    auto ctx = makeCtx(node.httpUrl(), node.wsUrl());
    ASSERT_TRUE(ctx->api->ws_connected());
    HostHasher host;
    ctx->hasher = &host.hasher;
    ctx->batch = 2;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(mineUntil(*ctx, [&] { return ctx->hashes.load() >= 6; }));
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("[submit]"), std::string::npos);
    EXPECT_EQ(ctx->hashes.load() % 2, 0u);
    EXPECT_TRUE(node.messages().empty());
}

// A stop that comes while the oldest pass is being collected: that pass is
// the current one and its hit goes out; the pass built ahead of it is not
// tested, though every one of its hashes would be a hit.
TEST(WorkerThread, AStopFinishesTheCurrentPassOnly) {
    SKIP_WITHOUT_DEVICE();
    struct StopAtFirstDigests : GpuHasher {
        using GpuHasher::GpuHasher;
        std::atomic<bool> stop{false};
        void digests_ready(std::vector<std::string>&) override { stop = true; }
    };
    ScriptedNode node;
    node.set("/diff", 200, "{\"diff\":\"" + std::string(64, 'f') + "\"}");
    auto ctx = makeCtx(node.httpUrl(), node.wsUrl());
    argon2::cuda::GlobalContext global;
    StopAtFirstDigests hasher(&first_device(global), false, true);
    hasher.init(global);
    ctx->hasher = &hasher;
    ctx->batch = 2;
    ctx->stop = &hasher.stop;
    testing::internal::CaptureStdout();
    std::thread worker(worker_thread, ctx.get());
    worker.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(wait_until([&] { return node.messages().size() == 1; }));
    EXPECT_EQ(ctx->stats->found.load(), 1u);
    EXPECT_EQ(ctx->stats->sent.load(), 1u);
    EXPECT_EQ(ctx->hashes.load(), 2u);
    EXPECT_EQ(out.find("[submit]"), out.rfind("[submit]")) << out;
    EXPECT_NE(out.find("[submit] GPU#0 OK ws=1"), std::string::npos) << out;
}

// A card that errs: its "hits" are checked on the CPU and never sent, and a
// lost context stops its worker, by itself, with one line.
TEST(WorkerThread, FaultyDevice) {
    SKIP_WITHOUT_DEVICE();
    ScriptedNode node;
    node.set("/height", 200, "1");
    node.set("/block/0", 200, "{\"hash\":\"00\"}");
    node.set("/mempool", 200, "[]");
    node.set("/diff", 200, "{\"diff\":\"0\"}");  // only the all-zero digest is a hit
    auto ctx = makeCtx(node.httpUrl(), node.wsUrl());
    argon2::cuda::GlobalContext global;
    FaultyHasher faulty(&first_device(global), false, true);
    faulty.init(global);
    faulty.fault = FaultyHasher::Fault::WrongDigest;
    ctx->hasher = &faulty;
    ctx->gpu = 3;
    ctx->batch = 2;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(mineUntil(*ctx, [&] { return ctx->hwErrors.load() >= 2; }));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(node.messages().empty());
    EXPECT_NE(err.find("\n[gpu] GPU#3 hardware error: device hash " + std::string(64, '0') + ", CPU hash "),
              std::string::npos)
        << err;
    EXPECT_EQ(ctx->hashes.load() % 2, 0u);

    faulty.fault = FaultyHasher::Fault::DeviceLost;
    testing::internal::CaptureStderr();
    const std::uint64_t hashed = ctx->hashes.load();
    std::thread worker(worker_thread, ctx.get());
    worker.join();  // returns without a stop request
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\n[gpu] GPU#3 unusable, its worker stops: an illegal memory access was encountered\n");
    EXPECT_TRUE(ctx->deviceLost.load());
    EXPECT_EQ(ctx->hashes.load(), hashed);
}

TEST(SubmitHit, ConnectionRepair) {
    ScriptedNode http;
    const unsigned short port = free_port();
    const std::string url = "ws://127.0.0.1:" + std::to_string(port);
    auto ctx = makeCtx(http.httpUrl(), url);  // nobody listens yet: no client
    ChainView view;
    view.diff = "ff";
    const std::string text = canonical_msg(make_candidate(view, ctx->minerPub, 1));
    auto submit = [&](const std::string& hash, const std::string& err, const std::string& out) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        submit_hit(*ctx, text, hash, ctx->signer);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
    };

    // Nobody listening: reported and lost.
    submit("1", "[ws] reconnect failed: " + url + "\n", "\n[submit] GPU#0 FAIL ws=0 hash=1\n");
    EXPECT_FALSE(ctx->api->ws_connected());

    // The node comes up: the next hit makes a new client.
    RecordingWsServer node(port);
    submit("00AB", "[ws] reconnected: " + url + "\n", "\n[submit] GPU#0 OK ws=1 hash=00AB\n");
    ASSERT_TRUE(wait_until([&] { return node.count() == 1; }));
    EXPECT_NE(node.messages()[0].find("\"hash\":\"ab\""), std::string::npos);

    // The node dropped us: noticed by the reader, repaired at the next hit.
    ASSERT_TRUE(wait_until([&] { return node.server().sessions().size() == 1; }));
    node.server().sessions()[0]->drop();
    ASSERT_TRUE(wait_until([&] { return !ctx->api->ws_connected(); }));
    submit("00AB", "[ws] reconnected: " + url + "\n", "\n[submit] GPU#0 OK ws=1 hash=00AB\n");
    ASSERT_TRUE(wait_until([&] { return node.count() == 2; }));
    EXPECT_EQ(ctx->stats->sent.load(), 2u);
    EXPECT_EQ(ctx->stats->failed.load(), 1u);

    EXPECT_THROW(submit_hit(*ctx, "{not json", "1", ctx->signer), std::exception);

    // The primary cannot take it and the backup that takes over is on
    // another tip: sent nowhere, counted stale, and its [submit] line comes
    // after the line that says why.
    ScriptedNode backup;
    backup.set("/height", 200, "3");
    backup.set("/block/2", 200, "{\"hash\":\"elsewhere\"}");
    backup.set("/diff", 200, "{\"diff\":\"ff\"}");
    auto two = makeCtx(http.httpUrl(), "ws://127.0.0.1:" + std::to_string(free_port()));
    testing::internal::CaptureStderr();
    two->api->add_backup(std::make_unique<NodeClient>(backup.httpUrl(), backup.wsUrl()));
    testing::internal::CaptureStdout();
    const BuiltOn builtOn{3, "mine", 0};
    submit_hit(*two, text, "00cd", two->signer, 3, &builtOn);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n[submit] GPU#0 FAIL ws=0 hash=00cd\n");
    EXPECT_NE(err.find("\n[node] switched to the backup node: " + backup.httpUrl() + " " + backup.wsUrl() +
                       " (a block could not be sent to the primary)\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("\n[worker] GPU#0 hit hash=00cd not sent: no node that answers has the tip it was found on "
                       "(height 3)\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(two->stats->stale.load(), 1u);
    EXPECT_EQ(two->stats->failed.load(), 0u);

    // On the backup's tip now, but above its target: failed, with the
    // reason. Within it, the block goes out.
    backup.set("/block/2", 200, "{\"hash\":\"mine\"}");
    backup.set("/diff", 200, "{\"diff\":\"0x0F\"}");
    const BuiltOn onPrimary{3, "mine", 99};  // found on what the other node showed
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    submit_hit(*two, text, "00cd", two->signer, 3, &onPrimary);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n[submit] GPU#0 FAIL ws=0 hash=00cd\n");
    EXPECT_NE(err.find("\n[worker] GPU#0 hit hash=00cd not sent: its hash is above the target of " + backup.httpUrl() +
                       " (f)\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(two->stats->failed.load(), 1u);
    EXPECT_TRUE(backup.messages().empty());
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    submit_hit(*two, text, "000e", two->signer, 3, &onPrimary);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n[submit] GPU#0 OK ws=1 hash=000e\n");
    EXPECT_TRUE(wait_until([&] { return backup.messages().size() == 1; }));
}

// What the node says is checked before it is used, and a failing endpoint
// is named once, with the reason, and again once it answers.
TEST(ChainViewFetch, RefusedTargetsAndFailingEndpointsAreNamedOnce) {
    ScriptedNode node;
    node.set("/height", 200, "3");
    node.set("/block/2", 200, "{\"hash\":\"t\"}");
    node.set("/mempool", 200, "[]");
    auto ctx = makeCtx(node.httpUrl());
    ChainView view;
    testing::internal::CaptureStderr();
    load_chain(*ctx, view);  // /diff is a 404
    EXPECT_EQ(view.diff, std::string(64, 'f'));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n[node] /diff failed: HTTP status 404\n");

    node.set("/diff", 200, "{\"diff\":\"0x00FF\"}");
    testing::internal::CaptureStderr();
    refresh_chain(*ctx, view, 5000);
    EXPECT_EQ(view.diff, "ff");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n[node] /diff answers again\n");

    std::uint64_t now = 10000;
    testing::internal::CaptureStderr();
    std::string spread;  // 33 digits, each a pair of its own beside a blank: 33 bytes
    for (int i = 0; i < 33; ++i) spread += "f ";
    for (const std::string& bad : {std::string(65, 'f'), std::string(20u << 10, 'f'), std::string("0fg"), spread,
                                   std::string("{\"diff\":\" 0x0FFF\"}")}) {
        node.set("/diff", 200, bad);
        refresh_chain(*ctx, view, now += 3000);
        EXPECT_EQ(view.diff, "ff") << bad.size();  // the previous target stays
    }
    node.set("/height", 200, "-1");
    refresh_chain(*ctx, view, now += 3000);
    EXPECT_EQ(view.height, 3u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\n[node] /diff failed: target of 65 hex digits (at most 64)\n"
              "\n[node] /height failed: unreadable reply\n");

    // Leading blanks stay, in the target and in the block's "diff" member,
    // and every pair of characters is read by itself, blanks between digits
    // too: "  ffff" is 0x00ffff, "12 34" (odd: "012 34") is 0x010234.
    testing::internal::CaptureStderr();
    node.set("/diff", 200, "  ffff\r\n");
    refresh_chain(*ctx, view, now += 3000);
    EXPECT_EQ(view.diff, "  ffff");
    EXPECT_EQ(make_candidate(view, "p", 1)["diff"], "  ffff");
    EXPECT_TRUE(meets_target(std::string(60, '0') + "ffff", view.diff));
    EXPECT_FALSE(meets_target(std::string(59, '0') + "10000", view.diff));
    node.set("/diff", 200, "{\"diff\":\"12 34\"}");
    refresh_chain(*ctx, view, now += 3000);
    EXPECT_EQ(view.diff, "12 34");
    EXPECT_TRUE(meets_target("010234", view.diff));
    EXPECT_FALSE(meets_target("010235", view.diff));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n[node] /diff answers again\n");

    // Fetches a stop cut short are no failures of the node's.
    std::atomic<bool> stop{true};
    ctx->api = std::make_unique<NodeApi>(node.httpUrl(), "", StopGrace(&stop, 0));  // no grace left
    ChainView fresh;
    testing::internal::CaptureStderr();
    load_chain(*ctx, fresh);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(fresh.diff, std::string(64, 'f'));
}

// Each node answers only for the blocks sent to it over its current
// connection: an idle backup's rejections without a hash answer nothing, nor
// does one that comes after the connection a block went over was replaced.
// One reporter for both nodes is refused.
TEST(SubmitHit, ANodeAnswersOnlyForTheBlocksItWasSent) {
    ScriptedNode primary, backup;
    auto ctx = makeCtx(primary.httpUrl(), "");
    std::FILE* out = std::tmpfile();
    auto verdicts = std::make_shared<VerdictReporter>(
        4, std::shared_ptr<VerdictCounts>(ctx->stats, &ctx->stats->verdicts), out);
    testing::internal::CaptureStderr();
    ctx->api = std::make_unique<NodeApi>(primary.httpUrl(), primary.wsUrl(), StopGrace{}, verdicts);
    EXPECT_THROW(ctx->api->add_backup(std::make_unique<NodeClient>(backup.httpUrl(), "", StopGrace{}, verdicts)),
                 std::invalid_argument);
    ctx->api->add_backup(
        std::make_unique<NodeClient>(backup.httpUrl(), backup.wsUrl(), StopGrace{}, verdicts->for_another_node()));
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(wait_until([&] { return primary.ws().sessions().size() == 1 && backup.ws().sessions().size() == 1; }));
    ChainView view;
    view.diff = "ff";
    const std::string text = canonical_msg(make_candidate(view, ctx->minerPub, 1));
    testing::internal::CaptureStdout();
    submit_hit(*ctx, text, "00AB", ctx->signer);
    submit_hit(*ctx, text, "00CD", ctx->signer);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(wait_until([&] { return primary.messages().size() == 2; }));
    for (int i = 0; i < 3; ++i) backup.ws().sessions()[0]->send(R"({"event":"rejected","reason":"forged"})");
    ASSERT_TRUE(wait_until([&] { return ctx->stats->verdicts.unrecognised.load() == 3; }));
    primary.ws().sessions()[0]->send(R"({"event":"accepted","height":3,"hash":"ab"})");
    ASSERT_TRUE(wait_until([&] { return ctx->stats->verdicts.accepted.load() == 1; }));

    // cd went over a connection the primary then dropped: its answer cannot come any more.
    primary.ws().sessions()[0]->drop();
    ASSERT_TRUE(wait_until([&] { return !ctx->api->ws_connected(); }));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    submit_hit(*ctx, text, "00EF", ctx->signer);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ws] reconnected: " + primary.wsUrl() + "\n");
    ASSERT_TRUE(wait_until([&] { return primary.ws().sessions().size() == 1 && primary.messages().size() == 3; }));
    primary.ws().sessions()[0]->send(R"({"event":"rejected","reason":"stale prev_hash"})");
    ASSERT_TRUE(wait_until([&] { return ctx->stats->verdicts.rejected.load() == 1; }));
    ctx->api.reset();  // joins the readers before the file goes
    std::rewind(out);
    std::string lines;
    for (char line[256]; std::fgets(line, sizeof line, out);) lines += line;
    EXPECT_EQ(lines.substr(lines.find("[verdict]")),
              "[verdict] GPU#4 accepted hash=ab height=3\n[verdict] GPU#4 rejected hash=ef reason: stale prev_hash\n");
    EXPECT_EQ(ctx->stats->verdicts.unrecognised.load(), 3u);
    std::fclose(out);
}

TEST(SubmitHit, TheNodesAnswerIsMatchedToTheBlockSent) {
    ScriptedNode node;
    auto ctx = makeCtx(node.httpUrl(), "");
    std::FILE* out = std::tmpfile();
    auto verdicts = std::make_shared<VerdictReporter>(
        4, std::shared_ptr<VerdictCounts>(ctx->stats, &ctx->stats->verdicts), out);
    testing::internal::CaptureStderr();
    ctx->api = std::make_unique<NodeApi>(node.httpUrl(), node.wsUrl(), nullptr, verdicts);
    testing::internal::GetCapturedStderr();
    ChainView view;
    view.diff = "ff";
    const std::string text = canonical_msg(make_candidate(view, ctx->minerPub, 1));
    testing::internal::CaptureStdout();
    submit_hit(*ctx, text, "00AB", ctx->signer);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(wait_until([&] { return node.messages().size() == 1; }));
    node.ws().sessions()[0]->send(R"({"event":"rejected","reason":"stale prev_hash"})");
    ASSERT_TRUE(wait_until([&] { return ctx->stats->verdicts.rejected.load() == 1; }));
    std::fflush(out);
    std::rewind(out);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
    EXPECT_STREQ(line, "[verdict] GPU#4 rejected hash=ab reason: stale prev_hash\n");
    EXPECT_EQ(ctx->stats->sent.load(), 1u);
    ctx->api.reset();  // joins the reader before the file goes
    std::fclose(out);
}
