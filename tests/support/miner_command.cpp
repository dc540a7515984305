#include "support/miner_command.h"

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
