// The whole program, as a user runs it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "servers.h"
#include "support/device.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/scripted_node.h"

namespace {


// Every test here runs the miner on a device.
[[maybe_unused]] const testing::Environment* const kNeedsDevice = testing::AddGlobalTestEnvironment(new NeedsDevice);

const std::string kKey = "1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100";

std::map<std::string, std::optional<std::string>> cleanEnv() {
    return {{"BY_SEGMENT", std::nullopt}, {"PRECOMPUTE", std::nullopt}, {"GPU_BATCH", std::nullopt},
            {"DIFF_OVERRIDE", std::nullopt}};
}

std::vector<std::string> miner(std::vector<std::string> extra) {
    std::vector<std::string> args = {MINER_BINARY, "--priv", kKey, "--goida", "--step-seconds", "1",
                                     "--warmup-seconds", "0", "--start-batch", "2", "--max-batch", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace

TEST(Program, DeviceSelection) {
    ProcessResult none = run_process(miner({"--devices", "5"}), cleanEnv());
    EXPECT_EQ(none.exitCode, 4);
    EXPECT_NE(none.err.find("\nno usable devices\n"), std::string::npos) << none.err;

    BackgroundProcess two(miner({"--devices", "-1,0,0", "--ws", "", "--http", "http://127.0.0.1:1"}), cleanEnv());
    ASSERT_TRUE(two.waitForOutput("(2 GPU)", std::chrono::seconds(60), true)) << two.err();
    two.signal(SIGINT);
    ProcessResult r = two.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("\nStopping...\n"), std::string::npos);
    // Each entry of the list is tuned on its own, in order.
    size_t tunings = 0;
    for (size_t at = r.err.find("[tune] best BATCH="); at != std::string::npos; at = r.err.find("[tune] best BATCH=", at + 1))
        ++tunings;
    EXPECT_EQ(tunings, 2u) << r.err;
}

TEST(Program, StopsCleanlyOnSigintDuringTuningAndOnSigterm) {
    // Long tuning: the stop request arrives while measuring.
    std::vector<std::string> slow = {MINER_BINARY, "--priv", kKey, "--step-seconds", "30", "--start-batch", "1",
                                     "--ws", "", "--http", "http://127.0.0.1:1"};
    BackgroundProcess tuning(slow, cleanEnv());
    ASSERT_TRUE(tuning.waitForOutput("pub: ", std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    tuning.signal(SIGINT);
    ProcessResult r = tuning.wait(std::chrono::seconds(30));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Stopping..."), std::string::npos);
    EXPECT_NE(r.err.find("[tune] best BATCH=1"), std::string::npos) << r.err;

    BackgroundProcess mining(miner({"--ws", "", "--http", "http://127.0.0.1:1"}), cleanEnv());
    ASSERT_TRUE(mining.waitForOutput("Hashrate: ", std::chrono::seconds(60), true));
    mining.signal(SIGTERM);
    ProcessResult t = mining.wait(std::chrono::seconds(30));
    EXPECT_EQ(t.exitCode, 0);
    EXPECT_NE(t.out.find("\nStopping...\n"), std::string::npos);
}

TEST(Program, UnmeasurableSettingsStopWithAMessage) {
    ProcessResult r = run_process(miner({"--step-seconds", "0", "--ws", ""}), cleanEnv());
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_NE(r.err.find("GPU#0: cannot start: "), std::string::npos) << r.err;
    ProcessResult zero = run_process(miner({"--start-batch", "0", "--ws", ""}), cleanEnv());
    EXPECT_EQ(zero.exitCode, 5);
}

TEST(Program, NodeDownAtStartThenUpGetsTheFirstHitThrough) {
    ScriptedNode http;  // HTTP answers 404: the view stays at its defaults, every hash hits
    const unsigned short wsPort = free_port();
    const std::string wsUrl = "ws://127.0.0.1:" + std::to_string(wsPort);
    BackgroundProcess p(miner({"--http", http.httpUrl(), "--ws", wsUrl}), cleanEnv());
    ASSERT_TRUE(p.waitForOutput("[ws] connect failed: " + wsUrl + "\n", std::chrono::seconds(60)));
    ASSERT_TRUE(p.waitForOutput("[ws] reconnect failed: " + wsUrl + "\n", std::chrono::seconds(60)));

    std::mutex lock;
    std::vector<std::string> blocks;
    devnet::WsCallbacks cb;
    cb.onMessage = [&](const auto&, const std::string& m) {
        std::lock_guard<std::mutex> g(lock);
        blocks.push_back(m);
    };
    devnet::WsServer node("127.0.0.1", wsPort, cb);
    EXPECT_TRUE(p.waitForOutput("[ws] reconnected: " + wsUrl + "\n", std::chrono::seconds(30)));
    EXPECT_TRUE(p.waitForOutput("OK ws=1 hash=", std::chrono::seconds(30), true));
    p.signal(SIGINT);
    ProcessResult r = p.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 0);
    std::lock_guard<std::mutex> g(lock);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0].rfind("{\"event\":\"block\",\"data\":{\"timestamp\":", 0), 0u);
}

// The rig benchmark: self-test and rates per mode, as a table and as JSON.
TEST(Benchmark, TableJsonAndRefusedArguments) {
    const std::vector<std::string> quick = {BENCH_BINARY, "--batches", "1,3", "--seconds", "1", "--warmup", "0"};
    std::vector<std::string> json = quick;
    json.push_back("--json");
    ProcessResult r = run_process(json, cleanEnv(), std::chrono::seconds(120));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json runs = nlohmann::json::parse(r.out);
    ASSERT_EQ(runs.size(), 2u);  // both kernel modes of the one device
    for (const auto& run : runs) {
        EXPECT_EQ(run["self_test"], "ok");
        ASSERT_EQ(run["points"].size(), 2u);
        EXPECT_EQ(run["points"][1]["batch"], 3);
        for (const auto& point : run["points"]) {
            EXPECT_GT(point["hashes_per_second"].get<double>(), 0.0) << point;
            EXPECT_DOUBLE_EQ(point["bandwidth_bytes_per_second"].get<double>(),
                             point["hashes_per_second"].get<double>() * 32 * 1024 * 1024);
        }
    }
    EXPECT_NE(r.err.find("[bench] GPU#0 whole-pass+precompute: B=3 (2 of 2)"), std::string::npos) << r.err;

    std::vector<std::string> table = quick;
    table.insert(table.end(), {"--by-segment", "1", "--precompute", "0"});
    ProcessResult t = run_process(table, cleanEnv(), std::chrono::seconds(120));
    ASSERT_EQ(t.exitCode, 0) << t.err;
    EXPECT_EQ(t.out.rfind("GPU  name", 0), 0u) << t.out;
    EXPECT_NE(t.out.find("by-segment "), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find("whole-pass"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find(" ok "), std::string::npos) << t.out;

    for (std::vector<std::string> bad : {std::vector<std::string>{"--batches", "0"}, {"--seconds", "2x"},
                                         {"--devices", "-1"}, {"--by-segment"}, {"--what"}}) {
        bad.insert(bad.begin(), BENCH_BINARY);
        ProcessResult u = run_process(bad, cleanEnv());
        EXPECT_EQ(u.exitCode, 1) << bad[1];
        EXPECT_EQ(u.err.rfind("usage: quorlen-bench", 0), 0u) << u.err;
    }
    ProcessResult none = run_process({BENCH_BINARY, "--devices", "7"}, cleanEnv());
    EXPECT_EQ(none.exitCode, 4);
}
