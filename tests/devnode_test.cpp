// The development node's chain: it must accept what an honest miner makes
// and reject every forgery, for the right reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "block/canonical.h"
#include "block/signer.h"
#include "chain.h"
#include "consensus.h"
#include "worker/worker.h"
#include "worker/worker_ctx.h"

using nlohmann::json;

namespace {

const std::string kKey = "1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100";
// The easiest target; with a tiny block time it stays the easiest.
const std::string kEasy(64, 'f');

// A block as the miner builds and signs it, on top of `chain`.
json minedBlock(const Chain& chain, const Signer& signer, json mempool = json::array(), std::uint64_t ts = 1) {
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
    ASSERT_TRUE(signer.init(kKey, false));
    EXPECT_EQ(chain.height(), 1u);
    ASSERT_EQ(chain.addTransaction(pendingTx(5)), std::nullopt);
    ASSERT_EQ(chain.addTransaction(pendingTx(6)), std::nullopt);
    Verdict v = chain.submit(minedBlock(chain, signer, json::array({pendingTx(6)})));
    EXPECT_TRUE(v.accepted) << v.reason;
    EXPECT_EQ(chain.height(), 2u);
    EXPECT_EQ(chain.mempool(), json::array({pendingTx(5)}));
    EXPECT_EQ((*chain.block(1))["prev_hash"], (*chain.block(0))["hash"]);
    EXPECT_TRUE(chain.submit(minedBlock(chain, signer)).accepted);
}

TEST(DevChain, RejectsForgeriesForTheRightReason) {
    Chain chain({kEasy, 0.001, "", ""});
    Signer signer, other;
    ASSERT_TRUE(signer.init(kKey, false));
    ASSERT_TRUE(other.init(DEV_PRIVATE_KEY, false));
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
    EXPECT_EQ(chain.addTransaction(noSig), "missing signature");
    EXPECT_EQ(chain.addTransaction(json::array()), "a transaction is a JSON object");
    json fromNetwork = pendingTx(1);
    fromNetwork["sender"] = "network";
    EXPECT_TRUE(chain.addTransaction(fromNetwork).has_value());
    EXPECT_TRUE(chain.mempool().empty());
}

TEST(DevChain, KeepsItsChainAcrossRestartsAndDropsATornLine) {
    TempFile file;
    Signer signer;
    ASSERT_TRUE(signer.init(kKey, false));
    std::string tipHash;
    {
        Chain chain({kEasy, 0.001, "", file.path});
        ASSERT_TRUE(chain.submit(minedBlock(chain, signer)).accepted);
        ASSERT_TRUE(chain.submit(minedBlock(chain, signer, json::array(), 2)).accepted);
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
        EXPECT_TRUE(chain.submit(minedBlock(chain, signer, json::array(), 3)).accepted);
    }
    EXPECT_EQ(Chain({kEasy, 0.001, "", file.path}).height(), 4u);
    {
        std::ofstream damaged(file.path, std::ios::trunc);
        damaged << "garbage\n{}\n";
    }
    EXPECT_THROW(Chain({kEasy, 0.001, "", file.path}), std::runtime_error);
}
