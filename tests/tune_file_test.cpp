// --tune-file: the file as hostile input, the key, the check of a remembered
// size, and a restart that mines without tuning again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "app/remembered_tuning.h"
#include "argon2gpu/cuda/device.h"
#include "cli/cli.h"
#include "gpu/tune_file.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/scratch.h"

using namespace quorlen::app;
using namespace quorlen::gpu;

namespace {

const TunedBatch kEntry{{{"device", "card \"A\""}, {"slot", "0"}}, 435, 1234.5};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(TuneFile, RoundTripAndStrictParsing) {
    std::vector<TunedBatch> read;
    ASSERT_EQ(parse_tune_file(tune_file_text({kEntry}), read), "");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].key, kEntry.key);
    EXPECT_EQ(read[0].batch, 435);
    EXPECT_DOUBLE_EQ(read[0].rate, 1234.5);

    const std::string key = R"({"device":"x"})";
    const std::string many = [&] {
        std::string gpus;
        for (std::size_t i = 0; i <= TuneFile::kMaxEntries; ++i)
            gpus += std::string(i ? "," : "") + R"({"key":{"slot":")" + std::to_string(i) + R"("},"batch":1,"rate":1})";
        return R"({"format":1,"gpus":[)" + gpus + "]}";
    }();
    for (const std::string& bad : std::vector<std::string>{
             std::string(""), std::string("garbage"), std::string(R"({"format":2,"gpus":[]})"),
             std::string(R"({"format":1,"gpus":[],"more":0})"),
             R"({"format":1,"gpus":[{"key":)" + key + R"(,"batch":0,"rate":1}]})",
             R"({"format":1,"gpus":[{"key":)" + key + R"(,"batch":8,"rate":-1}]})",
             R"({"format":1,"gpus":[{"key":)" + key + R"(,"batch":8.5,"rate":1}]})",
             R"({"format":1,"gpus":[{"key":)" + key + R"(,"batch":8,"rate":"1"}]})",
             R"({"format":1,"gpus":[{"key":)" + key + R"(,"batch":8,"rate":1,"x":1}]})",
             std::string(R"({"format":1,"gpus":[{"key":{"device":1},"batch":8,"rate":1}]})"),
             R"({"format":1,"gpus":[{"key":{"device":")" + std::string(300, 'a') + R"("},"batch":8,"rate":1}]})",
             R"({"format":1,"gpus":[{"key":)" + key + R"(,"batch":8,"rate":1},{"key":)" + key +
                 R"(,"batch":9,"rate":1}]})",
             std::string(100, '[') + std::string(100, ']'), many, std::string(TuneFile::kMaxBytes + 1, ' ')}) {
        read = {kEntry};
        EXPECT_NE(parse_tune_file(bad, read), "") << bad.substr(0, 120);
        EXPECT_TRUE(read.empty());
    }
}

// A link, a FIFO (which must not block the start) and another user's file
// are refused; a good file is replaced whole and readable by us alone.
TEST(TuneFile, RefusesWhatIsNotOurRegularFileAndReplacesWhole) {
    ScratchDir dir;
    const std::string path = dir.path() + "/tune.json";
    TuneFile file(path);
    EXPECT_EQ(file.load(), "");  // none yet
    file.remember(kEntry.key, kEntry.batch, kEntry.rate);
    file.remember(kEntry.key, 300, 1000);  // replaces
    ASSERT_EQ(file.save(), "");
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    TuneFile again(path);
    ASSERT_EQ(again.load(), "");
    ASSERT_TRUE(again.find(kEntry.key));
    EXPECT_EQ(again.find(kEntry.key)->batch, 300);
    EXPECT_FALSE(again.find({{"device", "other"}}));

    const std::string link = dir.path() + "/link.json", fifo = dir.path() + "/fifo.json";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& refused : {link, fifo}) {
        TuneFile f(refused);
        EXPECT_NE(f.load(), "") << refused;
        EXPECT_TRUE(f.refused());
        f.remember(kEntry.key, 8, 1);
        EXPECT_EQ(f.save(), "");  // and left as it is
    }
    EXPECT_EQ(slurp(path), tune_file_text({{kEntry.key, 300, 1000}}));
    if (geteuid() == 0) {  // another owner can only be made by root
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        TuneFile foreign(path);
        EXPECT_EQ(foreign.load(), "owned by another user (refused)");
    }
    std::vector<std::string> left;
    for (const char* name : {"/tune.json.tmp."}) left.push_back(dir.path() + name + std::to_string(getpid()));
    EXPECT_NE(access(left[0].c_str(), F_OK), 0) << "no temporary file left behind";
}

TEST(TuneFile, KeyAndCheckOfARememberedSize) {
    Cli cli;
    const argon2::cuda::Device device(0);
    const TuneKey key = tune_key(device, 0, cli, 8ull << 30, "1.0");
    EXPECT_EQ(key.at("device"), device.getName());
    EXPECT_EQ(key.at("total_memory"), std::to_string(8ull << 30));
    // Each of these is another key: a full tune.
    EXPECT_NE(tune_key(device, 1, cli, 8ull << 30, "1.0"), key);
    EXPECT_NE(tune_key(device, 0, cli, 16ull << 30, "1.0"), key);
    EXPECT_NE(tune_key(device, 0, cli, 8ull << 30, "1.1"), key);
    for (auto change : std::vector<std::function<void(Cli&)>>{
             [](Cli& c) { c.bySegment = true; }, [](Cli& c) { c.precompute = false; },
             [](Cli& c) { c.maxBatch = 512; }, [](Cli& c) { c.stepFactor = 1.1500000001; },
             [](Cli& c) { c.tolerance = 0.03; }, [](Cli& c) { c.warmupSeconds = 1; }}) {
        Cli other;
        change(other);
        EXPECT_NE(tune_key(device, 0, other, 8ull << 30, "1.0"), key);
    }
    const TunedBatch remembered{key, 400, 1000};
    EXPECT_TRUE(remembered_still_holds(remembered, 900, std::nullopt));   // 10 % lower: within the margin
    EXPECT_FALSE(remembered_still_holds(remembered, 899, std::nullopt));  // beyond it
    EXPECT_TRUE(remembered_still_holds(remembered, 5000, 400));
    EXPECT_FALSE(remembered_still_holds(remembered, 5000, 399));  // above today's memory cap
}

namespace {

std::vector<std::string> tunedMiner(const std::string& file) {
    return miner_args({"--ws", "", "--http", "http://127.0.0.1:1", "--tune-file", file}, {.start = 2, .max = 3});
}

// Runs the miner until it mines, then stops it; its standard error.
std::string mineOnce(const std::string& file) {
    BackgroundProcess p(tunedMiner(file), miner_env());
    EXPECT_TRUE(p.waitForOutput("Hashrate: ", std::chrono::seconds(60), true)) << p.err();
    p.signal(SIGINT);
    const ProcessResult r = p.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.err;
}

}  // namespace

// A damaged file: one line, a full tune, the file written anew. A rate
// now far below the remembered one: a full tune and the file updated. Then
// the remembered size is checked and used, without a search.
TEST(TuneFile, RestartUsesTheCheckedSize) {
    ScratchDir dir;
    const std::string path = dir.write("tune.json", "{\"format\":1,");
    std::string err = mineOnce(path);
    EXPECT_NE(err.find("[tune] --tune-file " + path + ": not a tuning file: "), std::string::npos) << err;
    EXPECT_NE(err.find("[tune] best BATCH="), std::string::npos) << err;
    std::vector<TunedBatch> saved;
    ASSERT_EQ(parse_tune_file(slurp(path), saved), "") << slurp(path);
    ASSERT_EQ(saved.size(), 1u);

    saved[0].rate = 1e9;
    dir.write("tune.json", tune_file_text(saved));
    err = mineOnce(path);
    EXPECT_NE(err.find("[tune] GPU#0 remembered BATCH=" + std::to_string(saved[0].batch) + " (1000000000 H/s, "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[tune] GPU#0: the rate now is more than 10 % below the remembered one; tuning in full"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[tune] best BATCH="), std::string::npos) << err;
    ASSERT_EQ(parse_tune_file(slurp(path), saved), "");
    ASSERT_LT(saved.at(0).rate, 1e9);

    // Remembered at a rate any load reaches again, so that the rate measured
    // now cannot fall short by chance: checked and used, without a search.
    saved[0].rate = 1;
    dir.write("tune.json", tune_file_text(saved));
    err = mineOnce(path);
    EXPECT_NE(err.find("[tune] GPU#0 remembered BATCH=" + std::to_string(saved[0].batch) + " ("), std::string::npos)
        << err;
    EXPECT_EQ(err.find("[tune] best BATCH="), std::string::npos) << err;
    EXPECT_EQ(err.find("tuning in full"), std::string::npos) << err;
}
