#include "support/miner_command.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

std::vector<std::string> miner_args(const std::vector<std::string>& extra, QuickTuning batches) {
    std::vector<std::string> args = {MINER_BINARY,       "--priv",
                                     kTestKey,           "--goida",
                                     "--step-seconds",   "1",
                                     "--warmup-seconds", "0",
                                     "--start-batch",    std::to_string(batches.start),
                                     "--max-batch",      std::to_string(batches.max)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

EnvChanges miner_env(const EnvChanges& changes) {
    EnvChanges env = {{"BY_SEGMENT", std::nullopt},
                      {"PRECOMPUTE", std::nullopt},
                      {"GPU_BATCH", std::nullopt},
                      {"DIFF_OVERRIDE", std::nullopt}};
    for (const auto& [name, value] : changes) env[name] = value;
    return env;
}

void expect_start_hangs_caught(const std::vector<std::string>& args, EnvChanges env, int watchdogMs) {
    env["QUORLEN_WATCHDOG_TEST_MS"] = std::to_string(watchdogMs);
    env["QUORLEN_TEST_HANG"] = "start:0";
    const ProcessResult selfTest = run_process(args, env, std::chrono::seconds(180));
    EXPECT_EQ(selfTest.exitCode, 6) << selfTest.err;
    // Named for the hang, not for a build that outran the limit.
    const std::size_t held = selfTest.err.find("[test] device wait held\n");
    const std::size_t named = selfTest.err.find("[gpu] GPU#0 stopped answering during its self-test\n");
    EXPECT_NE(named, std::string::npos) << selfTest.err;
    EXPECT_LT(held, named) << selfTest.err;

    env["QUORLEN_TEST_HANG"] = "main:0";
    BackgroundProcess listing(args, env);
    ASSERT_TRUE(listing.waitForOutput("[test] device wait held\n", std::chrono::seconds(60))) << listing.err();
    const auto stopAt = std::chrono::steady_clock::now();
    listing.signal(SIGTERM);
    const ProcessResult r = listing.wait(std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(2000));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\nStopping...\n"), std::string::npos);
    EXPECT_NE(r.err.find("[stats] rig (0 GPU)"), std::string::npos) << r.err;
}
