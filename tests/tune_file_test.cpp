// --tune-file: the file as hostile input, the key, the check of a remembered
// size, and a restart that mines without tuning again.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
    ASSERT_EQ(file.save().problem, "");
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
        EXPECT_EQ(f.save().problem, "");  // and left as it is
    }
    EXPECT_EQ(slurp(path), tune_file_text({{kEntry.key, 300, 1000}}));
    if (geteuid() == 0) {  // another owner can only be made by root
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        TuneFile foreign(path);
        EXPECT_EQ(foreign.load(), path + " is owned by uid 65534, not by this user (uid 0) (refused)");
    }
    std::vector<std::string> left;
    for (const char* name : {"/tune.json.tmp."}) left.push_back(dir.path() + name + std::to_string(getpid()));
    EXPECT_NE(access(left[0].c_str(), F_OK), 0) << "no temporary file left behind";
}

// What another local user may change could choose the size the miner
// allocates: a file, or a folder on its way, that its group or others may
// write is refused and left as it is. A sticky folder (/tmp) is not such a
// folder: there nobody else may rename or remove our entries.
TEST(TuneFile, RefusesWhatOthersMayChange) {
    ScratchDir dir;
    const std::string text = tune_file_text({kEntry});
    const auto folder = [&](const std::string& name, mode_t mode) {
        const std::string path = dir.path() + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    };
    const std::string open = folder("open", 0770), others = folder("others", 0707), sticky = folder("sticky", 01777);
    ASSERT_EQ(symlink(open.c_str(), (dir.path() + "/link").c_str()), 0);
    struct Case {
        std::string path;
        mode_t mode;
        std::string why;  // empty: used
    };
    for (const Case& c : std::vector<Case>{
             {dir.path() + "/group.json", 0620, "/group.json may be written by its group or others (mode 0620)"},
             {dir.path() + "/world.json", 0602, "/world.json may be written by its group or others (mode 0602)"},
             {open + "/tune.json", 0600, open + " may be written by its group or others (mode 0770)"},
             {others + "/tune.json", 0600, others + " may be written by its group or others (mode 0707)"},
             {dir.path() + "/link/tune.json", 0600, " may be written by its group or others (mode 0770)"},
             {sticky + "/tune.json", 0600, ""},
         }) {
        std::ofstream(c.path) << text;
        ASSERT_EQ(chmod(c.path.c_str(), c.mode), 0);
        TuneFile file(c.path);
        const std::string problem = file.load();
        if (c.why.empty()) {
            EXPECT_EQ(problem, "") << c.path;
            EXPECT_TRUE(file.find(kEntry.key)) << c.path;
            continue;
        }
        EXPECT_NE(problem.find(c.why), std::string::npos) << problem;
        EXPECT_TRUE(file.refused()) << c.path;
        EXPECT_FALSE(file.find(kEntry.key)) << c.path;
        file.remember({{"device", "mine"}}, 8, 1);
        EXPECT_EQ(file.save().problem, "");
        EXPECT_EQ(slurp(c.path), text) << "left as it is: " << c.path;
    }
    // A first start in a folder others may write: nothing is made there.
    TuneFile fresh(open + "/new.json");
    EXPECT_NE(fresh.load(), "");
    fresh.remember(kEntry.key, 8, 1);
    EXPECT_EQ(fresh.save().problem, "");
    EXPECT_NE(access((open + "/new.json").c_str(), F_OK), 0);
    EXPECT_NE(access((open + "/new.json.lock").c_str(), F_OK), 0);
}

namespace {

TuneKey slotKey(int slot) { return {{"device", "card"}, {"slot", std::to_string(slot)}}; }

}  // namespace

// Savers sharing the file: each re-reads it under the lock and replaces only
// its own entries, so none is lost, however their saves interleave. Real
// processes, each with its own descriptors, as two miners would be.
TEST(TuneFile, ConcurrentSaversKeepEachOthersEntries) {
    ScratchDir dir;
    const std::string path = dir.path() + "/tune.json";
    constexpr int kSavers = 6, kSaves = 10;
    std::vector<pid_t> children;
    for (int slot = 0; slot < kSavers; ++slot) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            TuneFile file(path);
            bool ok = file.load().empty();  // racing the others' first saves
            for (int i = 1; i <= kSaves; ++i) {
                file.remember(slotKey(slot), i, 100.0 * slot + i);
                const TuneFileSave saved = file.save();
                ok = ok && saved.problem.empty() && saved.lost.empty();
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<TunedBatch> saved;
    ASSERT_EQ(parse_tune_file(slurp(path), saved), "") << slurp(path);
    ASSERT_EQ(saved.size(), std::size_t(kSavers)) << slurp(path);
    for (int slot = 0; slot < kSavers; ++slot) {
        TuneFile check(path);
        ASSERT_EQ(check.load(), "");
        ASSERT_TRUE(check.find(slotKey(slot))) << slot;
        EXPECT_EQ(check.find(slotKey(slot))->batch, kSaves);
    }
}

// Where an entry does go, a line says so: a full file drops the oldest of
// others' entries, and a file damaged since it was read is replaced. A
// lock that another holds makes a stop wait no longer.
TEST(TuneFile, EveryLostEntryIsSaid) {
    ScratchDir dir;
    const std::string path = dir.path() + "/tune.json";
    std::vector<TunedBatch> full;
    for (std::size_t slot = 0; slot < TuneFile::kMaxEntries; ++slot) full.push_back({slotKey(int(slot)), 8, 1});
    dir.write("tune.json", tune_file_text(full));
    TuneFile file(path);
    ASSERT_EQ(file.load(), "");
    file.remember(slotKey(1000), 16, 2);
    TuneFileSave saved = file.save();
    EXPECT_EQ(saved.problem, "");
    ASSERT_EQ(saved.lost.size(), 1u);
    EXPECT_EQ(saved.lost[0], R"(full (64 entries): dropped the oldest, {"device":"card","slot":"0"})");
    TuneFile again(path);
    ASSERT_EQ(again.load(), "");
    EXPECT_FALSE(again.find(slotKey(0)));
    EXPECT_TRUE(again.find(slotKey(1)));
    EXPECT_EQ(again.find(slotKey(1000))->batch, 16);

    dir.write("tune.json", "{\"format\":1,");
    file.remember(slotKey(1000), 24, 3);
    saved = file.save();
    EXPECT_EQ(saved.problem, "");
    ASSERT_EQ(saved.lost.size(), 1u);
    EXPECT_EQ(saved.lost[0].rfind("replaced a file that could not be read (not a tuning file: ", 0), 0u)
        << saved.lost[0];
    EXPECT_EQ(slurp(path), tune_file_text({{slotKey(1000), 24, 3}}));

    const int held = ::open((path + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const std::atomic<bool> stop{true};
    file.remember(slotKey(1000), 32, 4);
    EXPECT_EQ(file.save(&stop).problem, "stopped while another process held " + path + ".lock");
    EXPECT_EQ(slurp(path), tune_file_text({{slotKey(1000), 24, 3}}));
    ::close(held);
    EXPECT_EQ(file.save(&stop).problem, "");
    EXPECT_EQ(slurp(path), tune_file_text({{slotKey(1000), 32, 4}}));
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

// The memory cap is checked before anything runs at a remembered size: one
// above it is never measured (the allocation the cap exists to prevent),
// the GPU is tuned in full and the file updated. One under it is measured
// and, holding its rate, used.
TEST(TuneFile, RememberedSizeAboveTheCapIsNeverMeasured) {
    ScratchDir dir;
    const std::string path = dir.path() + "/tune.json";
    const TuneKey key = slotKey(0);
    const std::size_t eightGiB = std::size_t(8) << 30;  // a cap of 435
    struct Case {
        int remembered;
        std::optional<std::size_t> freeBytes;
        std::vector<int> measured;
        int chosen;
        std::string line;
    };
    for (const Case& c : std::vector<Case>{
             {436, eightGiB, {}, 200,
              "[tune] GPU#3 remembered BATCH=436 (1000 H/s)\n"
              "[tune] GPU#3: the remembered size is above today's memory cap of 435; tuning in full\n"},
             // No cap when the free memory cannot be read: measured, as before.
             {1 << 30, std::nullopt, {1 << 30}, 1 << 30,
              "[tune] GPU#3 remembered BATCH=1073741824 (1000 H/s, 950 H/s now)\n"},
             {435, eightGiB, {435}, 435, "[tune] GPU#3 remembered BATCH=435 (1000 H/s, 950 H/s now)\n"},
         }) {
        dir.write("tune.json", tune_file_text({{key, c.remembered, 1000}}));
        TuneFile file(path);
        ASSERT_EQ(file.load(), "");
        std::vector<int> measured;
        std::FILE* log = std::tmpfile();
        const TunedSize tuned = recall_or_tune(
            3, key, c.freeBytes, file, [&](int b) { return measured.push_back(b), 950.0; },
            [] { return TunedSize{200, 500}; }, nullptr, log);
        EXPECT_EQ(read_back(log), c.line);
        std::fclose(log);
        EXPECT_EQ(measured, c.measured) << c.remembered;
        EXPECT_EQ(tuned.batch, c.chosen);
        TuneFile saved(path);
        ASSERT_EQ(saved.load(), "");
        EXPECT_EQ(saved.find(key)->batch, c.chosen == 200 ? 200 : c.remembered);
    }
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

    // A size no memory here holds: refused by the cap, never allocated.
    const int kept = saved[0].batch;
    saved[0].batch = 2'000'000;
    dir.write("tune.json", tune_file_text(saved));
    err = mineOnce(path);
    EXPECT_NE(err.find("[tune] GPU#0: the remembered size is above today's memory cap of "), std::string::npos) << err;
    EXPECT_EQ(err.find("remembered size failed"), std::string::npos) << err;
    EXPECT_EQ(err.find(" H/s now)"), std::string::npos) << err;
    ASSERT_EQ(parse_tune_file(slurp(path), saved), "");
    EXPECT_LT(saved.at(0).batch, 2'000'000);
    saved[0].batch = kept;

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

// Two miners sharing one file, started together: each loads it before the
// other saves, and both entries are there when they are done.
TEST(TuneFile, TwoMinersSavingAtOnceKeepBothEntries) {
    ScratchDir dir;
    const std::string path = dir.path() + "/tune.json";
    // Other tuning options, so another key each.
    BackgroundProcess first(
        miner_args({"--ws", "", "--http", "http://127.0.0.1:1", "--tune-file", path}, {.start = 2, .max = 3}),
        miner_env());
    BackgroundProcess second(
        miner_args({"--ws", "", "--http", "http://127.0.0.1:1", "--tune-file", path}, {.start = 2, .max = 4}),
        miner_env());
    for (BackgroundProcess* p : {&first, &second}) {
        EXPECT_TRUE(p->waitForOutput("Hashrate: ", std::chrono::seconds(60), true)) << p->err();
        p->signal(SIGINT);
        const ProcessResult r = p->wait(std::chrono::seconds(10));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("[tune] best BATCH="), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("--tune-file"), std::string::npos) << r.err;  // nothing refused, lost or unsaved
    }
    std::vector<TunedBatch> saved;
    ASSERT_EQ(parse_tune_file(slurp(path), saved), "") << slurp(path);
    ASSERT_EQ(saved.size(), 2u) << slurp(path);
    EXPECT_NE(saved[0].key.at("tuning"), saved[1].key.at("tuning"));
}
