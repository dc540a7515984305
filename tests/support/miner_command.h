// How the tests start the miner: a command line that gets it mining within
// seconds, in an environment without the variables that change its work.
#pragma once

#include <string>
#include <vector>

#include "support/process.h"
#include "support/test_key.h"

// The batch sizes the quick tuning measures, from `start` up to `max`.
struct QuickTuning {
    unsigned start = 2;
    unsigned max = 2;
};

// The miner with the test key, no developer minutes and a one-second tuning
// without warm-up; `extra` options after those.
std::vector<std::string> miner_args(const std::vector<std::string>& extra = {}, QuickTuning batches = {});

// BY_SEGMENT, PRECOMPUTE, GPU_BATCH and DIFF_OVERRIDE removed, then
// `changes` on top.
EnvChanges miner_env(const EnvChanges& changes = {});

// The hang stand-in (QUORLEN_TEST_HANG) at the two places a start can hang
// in the flavour the miner was built for: a GPU's self-test is named and
// left out (status 6), and with the main thread stuck listing the devices
// SIGTERM still ends the miner within 2 s, "Stopping..." and the
// statistics said. `args` and `env` run the miner; the stand-in and the
// watchdog's floor (`watchdogMs`, with four times it as room for a cold
// kernel build: the flavour's build must fit) are added here.
void expect_start_hangs_caught(const std::vector<std::string>& args, EnvChanges env, int watchdogMs);
