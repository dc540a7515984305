// The miner's configuration: the command line and the environment overrides.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Cli {
    std::string submitPath;
    std::string priv;
    std::string http = "http://127.0.0.1:8000";
    std::string ws = "ws://127.0.0.1:6061";
    std::vector<std::int32_t> devices;  // empty: every GPU
    std::int32_t workers = -1;          // -1: auto
    std::string myfeePub;
    double myfeePct = 0.0;
    std::uint64_t rewardHint = 0;
    std::int32_t startBatch = 128;
    std::int32_t maxBatch = 2048;
    double stepFactor = 1.15;
    std::int32_t stepSeconds = 8;
    std::int32_t warmupSeconds = 3;
    double tolerance = 0.02;
    bool bySegment = false;
    bool precompute = true;
    bool goida = false;
    // Beside the usage text, like --goida: the key from a file instead of
    // the command line, and how often the summary line is printed (0: only
    // at the stop).
    std::string privFile;
    std::int32_t summarySeconds = 60;
    // Monitoring: the HTTP API's HOST:PORT (empty: no API), its bearer token
    // (or a file holding it), and the temperature at which a GPU is paused
    // (0: never).
    std::string api;
    std::string apiToken;
    std::string apiTokenFile;
    std::int32_t tempLimit = 0;
    // A PEM bundle trusted in place of the system's store for https:// and
    // wss:// nodes (empty: the system's store).
    std::string caFile;
    // A backup node, given as a pair or not at all (empty: none).
    std::string backupHttp;
    std::string backupWs;
    // Rig uptime: where the tuning of each GPU is remembered between starts
    // (empty: every start tunes in full), and whether one stalled GPU ends
    // the process (for a service manager to restart it) rather than only
    // when all are.
    std::string tuneFile;
    bool exitOnStall = false;
};

// Fills `cli` from the arguments. Returns false after printing the usage text
// (unknown argument, missing value) or one line naming an option whose
// numeric value has no leading number or is out of range. The value of
// --priv is overwritten in `argv` once copied, so that other users cannot
// read the key in the process list. --backup-http and --backup-ws go
// together: one without the other is refused with one line.
[[nodiscard]] bool parse_cli(int argc, char** argv, Cli& cli);

namespace quorlen::cli {

// One command-line option: its name, what its value looks like, what it
// does (for the man page), and how it is read: a setter, or for a flag, which
// takes no value, the field it sets. A setter prints its own line and
// returns false on a bad value.
using Setter = std::function<bool(Cli&, const std::string& option, const std::string& value)>;
struct CliOption {
    const char* name;
    const char* value;
    const char* text;
    Setter set;
    bool Cli::*flag = nullptr;
};

// Every option the parser takes, in the order the man page lists them.
const std::vector<CliOption>& cli_options();

// The usage text, as printed to standard error.
std::string usage_text();

// BY_SEGMENT, PRECOMPUTE and GPU_BATCH, each applied only when present.
void apply_env(Cli& cli);

// "[cfg] bySegment=… precompute=… startBatch=…\n"
std::string cfg_line(const Cli& cli);

}  // namespace quorlen::cli
