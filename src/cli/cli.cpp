#include "cli/cli.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>

#include "node/http_url.h"
#include "node/ws_transport.h"
#include "node/ws_url.h"

namespace quorlen::cli {

namespace {

constexpr const char* kDefaultHttp = "http://127.0.0.1:8000";

// Like std::stoi: leading blanks, a sign and digits; the rest is ignored.
// Empty when there is no leading number or it does not fit 32 bits.
std::optional<std::int32_t> toInt32(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

// Like std::stod, with the same rule for the rest of the text.
std::optional<double> toDouble(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE) return std::nullopt;
    return v;
}

// A value that cannot be used: one line naming option and value.
bool badValue(const std::string& option, const std::string& value) {
    std::fprintf(stderr, "invalid value for %s: \"%s\" (expected a number in range)\n", option.c_str(),
                 value.c_str());
    return false;
}

Setter intField(std::int32_t Cli::*field) {
    return [field](Cli& cli, const std::string& option, const std::string& value) {
        auto v = toInt32(value);
        if (!v) return badValue(option, value);
        cli.*field = *v;
        return true;
    };
}

Setter doubleField(double Cli::*field) {
    return [field](Cli& cli, const std::string& option, const std::string& value) {
        auto v = toDouble(value);
        if (!v) return badValue(option, value);
        cli.*field = *v;
        return true;
    };
}

// The growth factor becomes a batch size: nan has none. An infinite factor
// is well defined, the tuner clamps its product to the bound.
bool setStepFactor(Cli& cli, const std::string& option, const std::string& value) {
    auto v = toDouble(value);
    if (!v || std::isnan(*v)) return badValue(option, value);
    cli.stepFactor = *v;
    return true;
}

Setter flagField(bool Cli::*field) {
    return [field](Cli& cli, const std::string& option, const std::string& value) {
        auto v = toInt32(value);
        if (!v) return badValue(option, value);
        cli.*field = *v != 0;
        return true;
    };
}

Setter stringField(std::string Cli::*field) {
    return [field](Cli& cli, const std::string&, const std::string& value) {
        cli.*field = value;
        return true;
    };
}

// A WebSocket URL the client could never connect to is refused now, not
// discovered at every block.
Setter wsField(std::string Cli::*field) {
    return [field](Cli& cli, const std::string& option, const std::string& value) {
        node::WsUrl parts;
        const std::string problem = value.empty() ? "" : node::parse_ws_url(value, parts);
        if (!problem.empty()) {
            std::fprintf(stderr, "invalid value for %s: \"%s\" (%s)\n", option.c_str(), value.c_str(),
                         problem.c_str());
            return false;
        }
        cli.*field = value;
        return true;
    };
}

// Likewise an HTTP base that would lead anywhere but to HTTP.
Setter httpField(std::string Cli::*field) {
    return [field](Cli& cli, const std::string& option, const std::string& value) {
        const std::string problem = node::http_url_problem(value);
        if (!problem.empty()) {
            std::fprintf(stderr, "invalid value for %s: \"%s\" (%s)\n", option.c_str(), value.c_str(),
                         problem.c_str());
            return false;
        }
        cli.*field = value;
        return true;
    };
}

// A trust file that cannot be read would refuse every node: said now.
bool setCaFile(Cli& cli, const std::string&, const std::string& value) {
    const std::string problem = node::tls_ca_file_problem(value);
    if (!problem.empty()) {
        std::fprintf(stderr, "invalid value for --ca-file: \"%s\" (%s)\n", value.c_str(), problem.c_str());
        return false;
    }
    cli.caFile = value;
    return true;
}

bool setDevices(Cli& cli, const std::string& option, const std::string& value) {
    // Every piece between commas is a number; a trailing comma adds nothing.
    std::vector<std::int32_t> parsed;
    size_t start = 0;
    while (start < value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        auto v = toInt32(value.substr(start, comma - start));
        if (!v) return badValue(option, value);
        parsed.push_back(*v);
        start = comma + 1;
    }
    cli.devices.insert(cli.devices.end(), parsed.begin(), parsed.end());
    return true;
}

bool setWorkers(Cli& cli, const std::string& option, const std::string& value) {
    if (value == "auto") {
        cli.workers = -1;
        return true;
    }
    return intField(&Cli::workers)(cli, option, value);
}

bool setRewardHint(Cli& cli, const std::string&, const std::string& value) {
    cli.rewardHint = std::strtoull(value.c_str(), nullptr, 10);
    return true;
}

}  // namespace

// The one list of options: the parser finds each option here, and the man
// page is written from it, so neither can name an option the other lacks.
const std::vector<CliOption>& cli_options() {
    static const std::vector<CliOption> kOptions = {
        {"--priv", "HEX", "secp256k1 private key, 32 bytes as 64 hex digits (0x allowed); required unless --priv-file "
                          "or QUORLEN_PRIV gives it. Overwritten in the process's argument memory once read.",
         stringField(&Cli::priv)},
        {"--priv-file", "PATH", "read the key text from this file instead: a regular file of at most 4096 bytes, "
                                "surrounding white space allowed; a file others can read gets a warning.",
         stringField(&Cli::privFile)},
        {"--http", "URL", "the node's HTTP base, http:// or https:// (default http://127.0.0.1:8000).",
         httpField(&Cli::http)},
        {"--ws", "URL", "the node's WebSocket, ws:// or wss:// (default ws://127.0.0.1:6061; empty: blocks are not "
                        "sent).",
         wsField(&Cli::ws)},
        {"--devices", "CSV", "GPU indexes, such as 0 or 0,1; repeatable, duplicates kept (default: every GPU).",
         setDevices},
        {"--workers", "N|auto", "accepted; there is one worker per selected GPU whatever it says.", setWorkers},
        {"--start-batch", "N", "the batch size the tuner starts from (default 128; GPU_BATCH overrides).",
         intField(&Cli::startBatch)},
        {"--max-batch", "N", "the tuner's upper bound (default 2048).", intField(&Cli::maxBatch)},
        {"--step-factor", "F", "the tuner's growth factor from one step to the next (default 1.15; not nan).",
         setStepFactor},
        {"--step-seconds", "N", "seconds measured per tuning step (default 8; at least 1).",
         intField(&Cli::stepSeconds)},
        {"--warmup-seconds", "N", "warm-up seconds before each step (default 3).", intField(&Cli::warmupSeconds)},
        {"--tolerance", "F", "the tuner stops growing when the gain is below this share (default 0.02).",
         doubleField(&Cli::tolerance)},
        {"--by-segment", "0|1", "Argon2 kernel mode: one launch per segment (1) or per pass (0, the default; "
                                "BY_SEGMENT overrides).",
         flagField(&Cli::bySegment)},
        {"--precompute", "0|1", "reference indices computed ahead (1, the default; PRECOMPUTE overrides).",
         flagField(&Cli::precompute)},
        {"--goida", "", "no developer minutes.", nullptr, &Cli::goida},
        {"--summary-seconds", "N", "how often the [stats] summary is printed (default 60; 0 or less: only at the "
                                   "stop).",
         intField(&Cli::summarySeconds)},
        {"--api", "HOST:PORT", "serve the monitoring API (/summary, /metrics, /health, a page at /) there; off by "
                               "default. A bind address other than loopback needs a token.",
         stringField(&Cli::api)},
        {"--api-token", "TEXT", "the API's bearer token (overwritten in the argument memory once read; "
                                "with --api and neither token option, QUORLEN_API_TOKEN is read).",
         stringField(&Cli::apiToken)},
        {"--api-token-file", "PATH", "read the API's bearer token from this file (the rules of --priv-file).",
         stringField(&Cli::apiTokenFile)},
        {"--temp-limit", "C", "pause a GPU at or above C degrees until it cools 5 degrees (1 to 150; default: "
                              "never).",
         intField(&Cli::tempLimit)},
        {"--ca-file", "PATH", "PEM certificates trusted for https:// and wss:// nodes in place of the system's store "
                              "(a private CA, a self-signed node).",
         setCaFile},
        {"--backup-http", "URL", "a backup node's HTTP base, checked as --http; given with --backup-ws or not at "
                                 "all. After three failed refreshes, or a block the primary cannot take, the miner "
                                 "switches to the backup, and back once the primary has answered for 30 s.",
         httpField(&Cli::backupHttp)},
        {"--backup-ws", "URL", "the backup node's WebSocket, checked as --ws; given with --backup-http.",
         wsField(&Cli::backupWs)},
        {"--tune-file", "PATH", "remember each GPU's tuned batch size in this file: a later start checks it with one "
                                "warm-up and one measurement and uses it while the rate is at most 10 % lower, "
                                "instead of tuning in full. A file that cannot be used gets one line and a full "
                                "tune.",
         stringField(&Cli::tuneFile)},
        {"--exit-on-stall", "", "stop with status 6 as soon as any GPU stops answering, not only when every GPU "
                                "has, so that a service manager restarts the rig.",
         nullptr, &Cli::exitOnStall},
        {"--submit-path", "TEXT", "accepted and ignored.", stringField(&Cli::submitPath)},
        {"--myfee-pub", "TEXT", "accepted and ignored.", stringField(&Cli::myfeePub)},
        {"--myfee-pct", "F", "accepted and ignored.", doubleField(&Cli::myfeePct)},
        {"--reward-hint", "N", "accepted and ignored.", setRewardHint},
    };
    return kOptions;
}

namespace {

// The argument strings are the memory that /proc/PID/cmdline and ps show:
// overwrite the key there, keeping its length.
void scrubArgument(char* arg) {
    for (char* c = arg; *c; ++c) *c = 'x';
}

bool usage() {
    std::fputs(usage_text().c_str(), stderr);
    return false;
}

// strtol in base 10, truncated to 32 bits as the environment rules say;
// `whole` tells whether the value was a number and nothing else.
std::int32_t envInt(const char* value, bool& whole) {
    char* end = nullptr;
    const long v = std::strtol(value, &end, 10);
    whole = end != value && *end == '\0';
    return static_cast<std::int32_t>(v);
}

// A flag from the environment; a value that is not wholly a number is read
// as the rules say, but not silently.
bool envFlag(const char* name, const char* value) {
    bool whole;
    const std::int32_t v = envInt(value, whole);
    if (!whole && *value != '\0')
        std::fprintf(stderr, "[env] %s=\"%s\" is not a whole number; read as %d\n", name, value, v);
    return v != 0;
}

}  // namespace

std::string usage_text() {
    static const std::pair<const char*, std::string> kLines[] = {
        {"--priv <hex32>", "secp256k1 private key (32-byte hex)"},
        {"--http <url>", std::string("node HTTP base (default ") + kDefaultHttp + ")"},
        {"--ws <url>", "node WS url"},
        {"--devices <csv>", "GPU indexes, e.g. 0 or 0,1 (default: all)"},
        {"--workers <N|auto>", "per process; default auto (=per GPU)"},
        {"--start-batch <N>", "autotune start (default 128)"},
        {"--max-batch <N>", "autotune upper bound (default 2048)"},
        {"--step-factor <f>", "autotune growth factor (default 1.15)"},
        {"--step-seconds <N>", "measure seconds per step (default 8)"},
        {"--warmup-seconds <N>", "warmup (default 3)"},
        {"--tolerance <f>", "stop if gain < tol (default 0.02)"},
        {"--by-segment <0|1>", "argon2 kernel mode (default 0)"},
        {"--precompute <0|1>", "precompute refs (default 1)"},
    };
    std::ostringstream out;
    out << "quorlen-gpu-miner\n";
    for (const auto& [option, text] : kLines) out << "  " << std::left << std::setw(26) << option << text << "\n";
    return out.str();
}

void apply_env(Cli& cli) {
    if (const char* v = std::getenv("BY_SEGMENT")) cli.bySegment = envFlag("BY_SEGMENT", v);
    if (const char* v = std::getenv("PRECOMPUTE")) cli.precompute = envFlag("PRECOMPUTE", v);
    if (const char* v = std::getenv("GPU_BATCH")) {
        bool whole;
        const std::int32_t batch = envInt(v, whole);
        if (batch > 0) {
            cli.startBatch = batch;
            if (!whole) std::fprintf(stderr, "[env] GPU_BATCH=\"%s\" is not a whole number; read as %d\n", v, batch);
        } else {
            std::fprintf(stderr, "[env] GPU_BATCH=\"%s\" is not a number above 0; ignored\n", v);
        }
    }
}

std::string cfg_line(const Cli& cli) {
    return "[cfg] bySegment=" + std::to_string(cli.bySegment ? 1 : 0) +
           " precompute=" + std::to_string(cli.precompute ? 1 : 0) +
           " startBatch=" + std::to_string(cli.startBatch) + "\n";
}

}  // namespace quorlen::cli

using namespace quorlen::cli;

bool parse_cli(int argc, char** argv, Cli& cli) {
    const auto& options = cli_options();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto it = std::find_if(options.begin(), options.end(), [&](const CliOption& o) { return arg == o.name; });
        if (it == options.end()) return usage();
        if (!it->set) {  // a flag
            cli.*(it->flag) = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (!it->set(cli, arg, argv[++i])) return false;
        if (arg == "--priv" || arg == "--api-token") scrubArgument(argv[i]);
    }
    // Half a backup could not take over: either node side alone is useless.
    if (cli.backupHttp.empty() != cli.backupWs.empty()) {
        std::fputs("--backup-http and --backup-ws go together: give both or neither\n", stderr);
        return false;
    }
    return true;
}
