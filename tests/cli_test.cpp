#include <gtest/gtest.h>
#include <signal.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "cli/key_source.h"
#include "support/device.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/scratch.h"

using namespace quorlen::cli;

namespace {

struct Parsed {
    bool ok;
    Cli cli;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "quorlen-gpu-miner");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    Parsed p{false, Cli{}, ""};
    testing::internal::CaptureStderr();
    p.ok = parse_cli(static_cast<int>(argv.size()), argv.data(), p.cli);
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

const std::string kUsage =
    "quorlen-gpu-miner\n"
    "  --priv <hex32>            secp256k1 private key (32-byte hex)\n"
    "  --http <url>              node HTTP base (default http://127.0.0.1:8000)\n"
    "  --ws <url>                node WS url\n"
    "  --devices <csv>           GPU indexes, e.g. 0 or 0,1 (default: all)\n"
    "  --workers <N|auto>        per process; default auto (=per GPU)\n"
    "  --start-batch <N>         autotune start (default 128)\n"
    "  --max-batch <N>           autotune upper bound (default 2048)\n"
    "  --step-factor <f>         autotune growth factor (default 1.15)\n"
    "  --step-seconds <N>        measure seconds per step (default 8)\n"
    "  --warmup-seconds <N>      warmup (default 3)\n"
    "  --tolerance <f>           stop if gain < tol (default 0.02)\n"
    "  --by-segment <0|1>        argon2 kernel mode (default 0)\n"
    "  --precompute <0|1>        precompute refs (default 1)\n";

const std::string kKey = "5e1f0c2a9b7d4e3f8a6c1b2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b9c0d1e2f";

}  // namespace

TEST(ParseCli, DefaultsAndEveryOption) {
    Parsed d = parse({});
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.cli.http, "http://127.0.0.1:8000");
    EXPECT_EQ(d.cli.ws, "ws://127.0.0.1:6061");
    EXPECT_EQ(d.cli.startBatch, 128);
    EXPECT_EQ(d.cli.maxBatch, 2048);
    EXPECT_DOUBLE_EQ(d.cli.stepFactor, 1.15);
    EXPECT_TRUE(d.cli.precompute);
    EXPECT_FALSE(d.cli.bySegment);

    Parsed p = parse({"--priv", "k", "--http", "h", "--ws", "", "--devices", "3", "--workers", "3",
                      "--start-batch", "12abc", "--max-batch", " -5", "--step-factor", "1.5x",
                      "--step-seconds", "+9", "--warmup-seconds", "0", "--tolerance", "1e-3",
                      "--by-segment", "2", "--precompute", "0x1", "--goida", "--submit-path", "/s",
                      "--myfee-pub", "pub", "--myfee-pct", "2.5", "--reward-hint", "-1"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.err, "");
    const Cli& c = p.cli;
    EXPECT_EQ(c.priv, "k");
    EXPECT_EQ(c.http, "h");
    EXPECT_EQ(c.ws, "");
    EXPECT_EQ(c.devices, std::vector<int32_t>{3});
    EXPECT_EQ(c.workers, 3);
    EXPECT_EQ(c.startBatch, 12);
    EXPECT_EQ(c.maxBatch, -5);
    EXPECT_DOUBLE_EQ(c.stepFactor, 1.5);
    EXPECT_EQ(c.stepSeconds, 9);
    EXPECT_EQ(c.warmupSeconds, 0);
    EXPECT_DOUBLE_EQ(c.tolerance, 0.001);
    EXPECT_TRUE(c.bySegment);
    EXPECT_FALSE(c.precompute);  // "0x1" reads as 0
    EXPECT_TRUE(c.goida);
    EXPECT_EQ(c.submitPath, "/s");
    EXPECT_EQ(c.myfeePub, "pub");
    EXPECT_DOUBLE_EQ(c.myfeePct, 2.5);
    EXPECT_EQ(c.rewardHint, 18446744073709551615ULL);
    EXPECT_EQ(parse({"--reward-hint", "abc"}).cli.rewardHint, 0u);
}

TEST(ParseCli, ValuesAreTakenVerbatimAndLastWins) {
    Parsed p = parse({"--http", "--priv", "--priv", "a", "--priv", "b", "--workers", "7", "--workers", "auto"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.cli.http, "--priv");
    EXPECT_EQ(p.cli.priv, "b");
    EXPECT_EQ(p.cli.workers, -1);
    EXPECT_TRUE(parse({"--goida", "--priv", "K"}).cli.goida);
    EXPECT_EQ(parse({"--priv", "K", "--goida"}).cli.priv, "K");
    // Each flag sets its own field and nothing else.
    const Parsed stall = parse({"--exit-on-stall", "--tune-file", "--goida"});
    ASSERT_TRUE(stall.ok);
    EXPECT_TRUE(stall.cli.exitOnStall);
    EXPECT_FALSE(stall.cli.goida);
    EXPECT_EQ(stall.cli.tuneFile, "--goida");
}

TEST(ParseCli, DevicesSplitAndAppend) {
    EXPECT_EQ(parse({"--devices", "0,1,1"}).cli.devices, (std::vector<int32_t>{0, 1, 1}));
    EXPECT_EQ(parse({"--devices", "0,1,"}).cli.devices, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(parse({"--devices", "1", "--devices", "0"}).cli.devices, (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(parse({"--devices", "-1,2x"}).cli.devices, (std::vector<int32_t>{-1, 2}));
}

TEST(ParseCli, UsageOnUnknownArgumentOrMissingValue) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--priv"}, {"-h"}, {""}, {"bare"}, {"--priv=abc"}, {"--PRIV", "k"}, {"--pri", "k"}, {"--goida", "--http"}}) {
        Parsed p = parse(args);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.err, kUsage);
    }
}

TEST(ParseCli, NumbersWithoutLeadingDigitsOrOutOfRangeAreRefused) {
    struct Case {
        std::vector<std::string> args;
        std::string needle;
    } cases[] = {
        {{"--devices", ",0"}, "--devices: \",0\""},
        {{"--devices", "0,,1"}, "--devices"},
        {{"--step-seconds", "x"}, "--step-seconds: \"x\""},
        {{"--max-batch", "99999999999"}, "--max-batch: \"99999999999\""},
        {{"--start-batch", "-2147483649"}, "--start-batch"},
        {{"--tolerance", "abc"}, "--tolerance"},
        {{"--step-factor", "1e999"}, "--step-factor"},
        {{"--by-segment", ""}, "--by-segment"},
        {{"--workers", "AUTO"}, "--workers"},
        {{"--myfee-pct", "."}, "--myfee-pct"},
        // The growth factor becomes a batch size: nan has none.
        {{"--step-factor", "nan"}, "--step-factor: \"nan\""},
        {{"--step-factor", "-NAN"}, "--step-factor"},
        // WebSocket URLs the client can never use.
        {{"--ws", "WS://127.0.0.1:6061"}, "--ws: \"WS://127.0.0.1:6061\" (the URL must begin with ws://"},
        {{"--ws", "ws://user@127.0.0.1:6061"}, "(user information"},
        {{"--ws", "ws://127.0.0.1:0"}, "(the port must be a number from 1 to 65535)"},
        {{"--ws", "ws://127.0.0.1:65536"}, "--ws"},
        {{"--ws", "ws://127.0.0.1:000"}, "--ws"},
        {{"--ws", "ws://::1:6061"}, "--ws"},
        {{"--ws", "wss://127.0.0.1:0"}, "--ws"},
        // A trust file that would refuse every node.
        {{"--ca-file", "/nonexistent/ca.pem"}, "--ca-file: \"/nonexistent/ca.pem\" (cannot open it: "},
        {{"--ca-file", "/dev/null"}, "--ca-file: \"/dev/null\" (it holds no PEM certificate)"},
        // The backup node's URLs pass the same checks, and go as a pair.
        {{"--backup-ws", "http://b:6061", "--backup-http", "http://b"}, "--backup-ws: \"http://b:6061\" (the URL"},
        {{"--backup-http", "file:///b", "--backup-ws", "ws://b"}, "--backup-http: \"file:///b\" (the scheme is "},
        {{"--backup-http", "http://b"}, "--backup-http and --backup-ws go together: give both or neither"},
        {{"--backup-ws", "ws://b"}, "--backup-http and --backup-ws go together"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.args);
        EXPECT_FALSE(p.ok);
        EXPECT_NE(p.err.find(c.needle), std::string::npos) << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
    }
    EXPECT_TRUE(parse({"--start-batch", "2147483647", "--max-batch", "-2147483648"}).ok);
    EXPECT_EQ(parse({"--ws", "ws://[::1]:6061/x"}).cli.ws, "ws://[::1]:6061/x");
    // Numbers whose use is defined, and ports as the resolver reads them.
    Parsed odd = parse({"--myfee-pct", "nan", "--tolerance", "inf", "--ws", "ws://127.0.0.1:006061", "--step-factor",
                        "-INFINITY"});
    ASSERT_TRUE(odd.ok) << odd.err;
    EXPECT_TRUE(std::isnan(odd.cli.myfeePct));
    EXPECT_TRUE(std::isinf(odd.cli.tolerance));
    EXPECT_TRUE(std::isinf(odd.cli.stepFactor));
    EXPECT_EQ(parse({"--ws", "ws://127.0.0.1:http-alt"}).cli.ws, "ws://127.0.0.1:http-alt");
    EXPECT_EQ(parse({"--ws", "wss://node.example/ws"}).cli.ws, "wss://node.example/ws");
    Parsed backup = parse({"--backup-ws", "ws://b:7/x", "--backup-http", "http://b:8"});
    ASSERT_TRUE(backup.ok) << backup.err;
    EXPECT_EQ(backup.cli.backupHttp, "http://b:8");
    EXPECT_EQ(backup.cli.backupWs, "ws://b:7/x");
    EXPECT_EQ(parse({}).cli.backupHttp, "");
}

TEST(ParseCli, KeyOptionsStayOutOfTheUsageAndPrivLeavesArgv) {
    std::vector<std::string> args = {"quorlen-gpu-miner", "--priv",  "0x" + kKey,       "--priv-file",
                                     "/k",                "--goida", "--summary-seconds", "5"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    Cli cli;
    ASSERT_TRUE(parse_cli(int(argv.size()), argv.data(), cli));
    EXPECT_EQ(cli.priv, "0x" + kKey);
    EXPECT_EQ(cli.privFile, "/k");
    EXPECT_EQ(cli.summarySeconds, 5);
    EXPECT_EQ(std::string(argv[2]), std::string(66, 'x'));  // same length, no key
    EXPECT_EQ(std::string(argv[4]), "/k");
    EXPECT_EQ(Cli{}.summarySeconds, 60);
    EXPECT_EQ(usage_text(), kUsage);
    EXPECT_FALSE(parse({"--summary-seconds", "soon"}).ok);
}

// A scratch directory for key files, removed with its files.
class KeyFiles : public testing::Test {
protected:
    ScratchDir dir;
    std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) {
        return dir.write(name, text, mode);
    }
    struct Read {
        bool ok;
        std::string key, error, warning;
    };
    Read read(const std::string& path) {
        Read r;
        r.ok = read_key_file(path, r.key, r.error, r.warning);
        return r;
    }
};

TEST_F(KeyFiles, TrimmedBoundedAndOnlyPrivateFilesPassQuietly) {
    Read ok = read(write("k", " \t\n" + kKey + "\r\n"));
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.key, kKey);
    EXPECT_EQ(ok.warning, "");
    Read shared = read(write("shared", kKey + "\n", 0640));
    EXPECT_TRUE(shared.ok);
    EXPECT_NE(shared.warning.find("readable by group or others"), std::string::npos);
    EXPECT_NE(read(write("world", kKey, 0604)).warning, "");
    // Up to the bound is read; one byte more is not a key file.
    EXPECT_TRUE(read(write("padded", kKey + std::string(kMaxKeyFileBytes - kKey.size(), '\n'))).ok);
    Read big = read(write("big", kKey + std::string(kMaxKeyFileBytes - kKey.size() + 1, '\n')));
    EXPECT_FALSE(big.ok);
    EXPECT_NE(big.error.find("larger than 4096 bytes"), std::string::npos);
    EXPECT_EQ(big.key, "");
    EXPECT_EQ(read(write("blank", " \n\n")).error, "holds no key");
    EXPECT_EQ(read(dir.path()).error, "not a regular file");
    EXPECT_EQ(read(dir.path() + "/none").error, "No such file or directory");
    EXPECT_EQ(trim_blanks("\v\f a b \t"), "a b");
}

TEST(ApplyEnv, OrderAndGpuBatchRules) {
    auto run = [](std::map<std::string, const char*> env, Cli cli) {
        for (const char* name : {"BY_SEGMENT", "PRECOMPUTE", "GPU_BATCH"}) {
            auto it = env.find(name);
            if (it == env.end()) unsetenv(name);
            else setenv(name, it->second, 1);
        }
        apply_env(cli);
        for (const char* name : {"BY_SEGMENT", "PRECOMPUTE", "GPU_BATCH"}) unsetenv(name);
        return cli;
    };
    Cli base;
    base.startBatch = 64;
    base.bySegment = true;
    EXPECT_EQ(run({{"GPU_BATCH", "256"}}, base).startBatch, 256);
    EXPECT_EQ(run({{"GPU_BATCH", "0"}}, base).startBatch, 64);
    EXPECT_EQ(run({{"GPU_BATCH", "abc"}}, base).startBatch, 64);
    EXPECT_EQ(run({{"GPU_BATCH", "-5"}}, base).startBatch, 64);
    EXPECT_FALSE(run({{"BY_SEGMENT", ""}}, base).bySegment);
    EXPECT_TRUE(run({}, base).bySegment);
    EXPECT_FALSE(run({{"PRECOMPUTE", "0"}}, base).precompute);
    EXPECT_TRUE(run({{"PRECOMPUTE", "7"}}, base).precompute);
    Cli c = run({{"BY_SEGMENT", "1"}, {"PRECOMPUTE", "0"}, {"GPU_BATCH", "32"}}, Cli{});
    EXPECT_EQ(cfg_line(c), "[cfg] bySegment=1 precompute=0 startBatch=32\n");
}

// The program itself, up to the user's key.
class MinerProcess : public testing::Test {
protected:
    ProcessResult run(std::vector<std::string> args, EnvChanges env = {}) {
        args.insert(args.begin(), MINER_BINARY);
        env.emplace("QUORLEN_PRIV", std::nullopt);
        return run_process(args, miner_env(env), std::chrono::seconds(30));
    }
};

TEST_F(MinerProcess, NoArgumentsNeedsPriv) {
    ProcessResult r = run({});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "--priv is required\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(MinerProcess, UsageTextAndBadValues) {
    ProcessResult r = run({"--goida", "--priv"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kUsage);
    ProcessResult bad = run({"--priv", kKey, "--step-seconds", "x"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, "invalid value for --step-seconds: \"x\" (expected a number in range)\n");
    // Taken as they are, on to the key (refused here: status 2).
    ProcessResult odd = run({"--priv", "ab", "--myfee-pct", "nan", "--tolerance", "inf", "--ws", "ws://127.0.0.1:http-alt",
                             "--step-factor", "inf"});
    EXPECT_EQ(odd.exitCode, 2) << odd.err;
    ProcessResult half = run({"--priv", kKey, "--backup-http", "http://127.0.0.1:8001"});
    EXPECT_EQ(half.exitCode, 1);
    EXPECT_EQ(half.err, "--backup-http and --backup-ws go together: give both or neither\n");
    ProcessResult nanFactor = run({"--priv", kKey, "--step-factor", "nan"});
    EXPECT_EQ(nanFactor.exitCode, 1);
    EXPECT_EQ(nanFactor.err, "invalid value for --step-factor: \"nan\" (expected a number in range)\n");
    // The node's HTTP base leads to HTTP only: libcurl would read files and more.
    for (const std::string url : {"file:///etc", "FTP://node/", "dict://127.0.0.1:8000", "ftp.example.org"}) {
        ProcessResult scheme = run({"--priv", kKey, "--http", url});
        EXPECT_EQ(scheme.exitCode, 1) << url;
        EXPECT_NE(scheme.err.find("invalid value for --http: \"" + url + "\" (the scheme is "), std::string::npos)
            << scheme.err;
    }
}

TEST_F(MinerProcess, RejectedKeysExitWithStatus2) {
    ProcessResult size = run({"--priv", "abcd"}, {{"GPU_BATCH", "9"}});
    EXPECT_EQ(size.exitCode, 2);
    EXPECT_EQ(size.err, "[cfg] bySegment=0 precompute=1 startBatch=9\nbad priv size\nsigner init failed\n");
    ProcessResult zero = run({"--priv", std::string(64, '0'), "--by-segment", "1"}, {{"PRECOMPUTE", "0"}});
    EXPECT_EQ(zero.exitCode, 2);
    EXPECT_EQ(zero.err, "[cfg] bySegment=1 precompute=0 startBatch=128\ninvalid secp256k1 priv\nsigner init failed\n");
}

TEST_F(MinerProcess, KeyTextsWithOtherThanHexDigitsAreRefused) {
    // Each of these would read as the valid key 0101...01.
    for (const std::string& key : {[] {
             std::string k;
             for (int i = 0; i < 32; ++i) k += "1z";
             return k;
         }(),
                                   [] {
                                       std::string k;
                                       for (int i = 0; i < 32; ++i) k += " 1";
                                       return k;
                                   }(),
                                   "0x" + kKey.substr(0, 62) + "+1", kKey.substr(0, 63) + "\n"}) {
        ProcessResult r = run({"--priv", key});
        EXPECT_EQ(r.exitCode, 2) << key;
        EXPECT_NE(r.err.find("is not a hex digit\nsigner init failed\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("pub: "), std::string::npos);
    }
    // A 63-digit key still reads as if its leading zero were written.
    BackgroundProcess p({MINER_BINARY, "--priv", "0X" + kKey.substr(1), "--devices", "99", "--ws", ""}, miner_env());
    EXPECT_TRUE(p.waitForOutput("pub: ", std::chrono::seconds(20)));
    p.signal(SIGINT);
    EXPECT_FALSE(p.wait(std::chrono::seconds(30)).timedOut);
}

TEST_F(MinerProcess, DoubtfulEnvironmentValuesAreNamed) {
    // The API's token variable is nobody's business without --api.
    ProcessResult r = run({"--priv", "ab"}, {{"GPU_BATCH", "abc"}, {"BY_SEGMENT", "1x"}, {"QUORLEN_API_TOKEN", "a b"}});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err,
              "[env] BY_SEGMENT=\"1x\" is not a whole number; read as 1\n"
              "[env] GPU_BATCH=\"abc\" is not a number above 0; ignored\n"
              "[cfg] bySegment=1 precompute=1 startBatch=128\nbad priv size\nsigner init failed\n");
    ProcessResult api = run({"--priv", "ab", "--api", "127.0.0.1:0"}, {{"QUORLEN_API_TOKEN", "a b"}});
    EXPECT_EQ(api.exitCode, 1);
    EXPECT_EQ(api.err, "API token: only printable characters without blanks, at most 1024\n");
}

TEST_F(MinerProcess, AcceptedKeyPrintsConfigAndPublicKey) {
    // With a usable key the miner goes on to the GPUs and the node; stop it
    // once the key line is out.
    BackgroundProcess p({MINER_BINARY, "--priv", "0x" + kKey, "--devices", "99", "--ws", ""},
                        miner_env({{"BY_SEGMENT", "1"}}));
    ASSERT_TRUE(p.waitForOutput("pub: ", std::chrono::seconds(20)));
    p.signal(SIGINT);
    ProcessResult r = p.wait(std::chrono::seconds(30));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.err.rfind("[cfg] bySegment=1 precompute=1 startBatch=128\npub: 02", 0) == 0 ||
                  r.err.rfind("[cfg] bySegment=1 precompute=1 startBatch=128\npub: 03", 0) == 0,
              true)
        << r.err;
}

class KeySources : public MinerProcess {
protected:
    ScratchDir dir;
    std::string write(const std::string& text, mode_t mode = 0600) { return dir.write("key", text, mode); }
};

TEST_F(KeySources, FileAndEnvironmentGoThroughTheSameChecksAsPriv) {
    SKIP_WITHOUT_DEVICE();  // the miner must get past the devices
    // Past the key the run ends at device selection: no GPU work.
    const ProcessResult viaPriv = run({"--priv", kKey, "--devices", "99", "--ws", ""});
    ASSERT_EQ(viaPriv.exitCode, 4) << viaPriv.err;
    const ProcessResult viaFile = run({"--priv-file", write("\n" + kKey + "\n"), "--devices", "99", "--ws", ""});
    EXPECT_EQ(viaFile.exitCode, 4);
    EXPECT_EQ(viaFile.err, viaPriv.err);
    const ProcessResult viaEnv = run({"--devices", "99", "--ws", ""}, {{"QUORLEN_PRIV", kKey}});
    EXPECT_EQ(viaEnv.exitCode, 4);
    EXPECT_EQ(viaEnv.err, viaPriv.err);
    // The options win over the environment.
    EXPECT_EQ(run({"--priv", kKey, "--devices", "99"}, {{"QUORLEN_PRIV", "ab"}}).exitCode, 4);

    const ProcessResult shortKey = run({"--priv-file", write("abcd")});
    EXPECT_EQ(shortKey.exitCode, 2);
    EXPECT_EQ(shortKey.err, "[cfg] bySegment=0 precompute=1 startBatch=128\nbad priv size\nsigner init failed\n");
    const ProcessResult zeroEnv = run({}, {{"QUORLEN_PRIV", std::string(64, '0')}});
    EXPECT_EQ(zeroEnv.exitCode, 2);
    EXPECT_NE(zeroEnv.err.find("invalid secp256k1 priv\nsigner init failed\n"), std::string::npos);
    const ProcessResult emptyEnv = run({}, {{"QUORLEN_PRIV", ""}});
    EXPECT_EQ(emptyEnv.exitCode, 1);
    EXPECT_EQ(emptyEnv.err, "--priv is required\n");

    const ProcessResult shared = run({"--priv-file", write(kKey, 0644), "--devices", "99", "--ws", ""});
    EXPECT_EQ(shared.exitCode, 4);
    EXPECT_EQ(shared.err.rfind("warning: --priv-file " + dir.path() + "/key: readable by group or others", 0), 0u)
        << shared.err;
    const ProcessResult both = run({"--priv", kKey, "--priv-file", write(kKey)});
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_EQ(both.err, "--priv and --priv-file both given; use one\n");
    const ProcessResult missing = run({"--priv-file", dir.path() + "/none"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "--priv-file " + dir.path() + "/none: No such file or directory\n");
    const ProcessResult huge = run({"--priv-file", write(std::string(5000, 'a'))});
    EXPECT_EQ(huge.exitCode, 1);
    EXPECT_NE(huge.err.find("larger than 4096 bytes"), std::string::npos);
}

TEST_F(KeySources, RunningMinerNoLongerShowsTheKeyInItsCommandLine) {
    SKIP_WITHOUT_DEVICE();  // the miner must get past the devices
    BackgroundProcess p({MINER_BINARY, "--priv", kKey, "--ws", "", "--http", "http://127.0.0.1:1", "--step-seconds",
                         "30", "--start-batch", "1"},
                        miner_env({{"QUORLEN_PRIV", std::nullopt}}));
    ASSERT_TRUE(p.waitForOutput("pub: ", std::chrono::seconds(20)));
    std::ifstream in("/proc/" + std::to_string(p.pid()) + "/cmdline", std::ios::binary);
    std::stringstream cmdline;
    cmdline << in.rdbuf();
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(std::chrono::seconds(30)).exitCode, 0);
    EXPECT_EQ(cmdline.str().find(kKey), std::string::npos);
    EXPECT_NE(cmdline.str().find(std::string("--priv\0", 7) + std::string(64, 'x') + '\0'), std::string::npos)
        << cmdline.str();
}
