// The whole program, as a user runs it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <sstream>

#include "app/gpu_watchdog.h"
#include "app/rate_windows.h"
#include "app/rig_summary.h"
#include "net/servers.h"
#include "support/device.h"
#include "worker/worker_ctx.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/recording_ws_server.h"
#include "support/scripted_node.h"

using namespace quorlen::app;

namespace {


// Every test here runs the miner on a device.
[[maybe_unused]] const testing::Environment* const kNeedsDevice = testing::AddGlobalTestEnvironment(new NeedsDevice);

}  // namespace

TEST(Program, DeviceSelection) {
    ProcessResult none = run_process(miner_args({"--devices", "5"}), miner_env());
    EXPECT_EQ(none.exitCode, 4);
    EXPECT_NE(none.err.find("\nno usable devices\n"), std::string::npos) << none.err;

    BackgroundProcess two(miner_args({"--devices", "-1,0,0", "--ws", "", "--http", "http://127.0.0.1:1"}), miner_env());
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
    // Long tuning: the stop request arrives while measuring. Bring-up goes
    // on: a reachable node is still connected, and the worker, which will
    // mine no pass, asks the node nothing (so no failure lines either).
    quorlen::net::WsServer ws("127.0.0.1", 0, {});
    const std::string wsUrl = "ws://127.0.0.1:" + std::to_string(ws.port());
    std::vector<std::string> slow = {MINER_BINARY, "--priv", kTestKey, "--step-seconds", "30", "--start-batch", "1",
                                     "--ws", wsUrl, "--http", "http://127.0.0.1:1"};
    BackgroundProcess tuning(slow, miner_env());
    ASSERT_TRUE(tuning.waitForOutput("pub: ", std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    tuning.signal(SIGINT);
    ProcessResult r = tuning.wait(std::chrono::seconds(30));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Stopping..."), std::string::npos);
    EXPECT_NE(r.err.find("[tune] best BATCH=1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[ws] connected: " + wsUrl + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[node]"), std::string::npos) << r.err;

    BackgroundProcess mining(miner_args({"--ws", "", "--http", "http://127.0.0.1:1"}), miner_env());
    ASSERT_TRUE(mining.waitForOutput("Hashrate: ", std::chrono::seconds(60), true));
    mining.signal(SIGTERM);
    ProcessResult t = mining.wait(std::chrono::seconds(30));
    EXPECT_EQ(t.exitCode, 0);
    EXPECT_NE(t.out.find("\nStopping...\n"), std::string::npos);
    EXPECT_NE(t.err.find("[stats] rig"), std::string::npos) << t.err;  // the final statistics
}

TEST(Program, UnmeasurableSettingsStopWithAMessage) {
    ProcessResult r = run_process(miner_args({"--step-seconds", "0", "--ws", ""}), miner_env());
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_NE(r.err.find("GPU#0: cannot start: "), std::string::npos) << r.err;
    ProcessResult zero = run_process(miner_args({"--start-batch", "0", "--ws", ""}), miner_env());
    EXPECT_EQ(zero.exitCode, 5);
    // Bounds that let the tuning come to a batch of 0 end the same way, never spinning on it.
    for (const std::string option : {"--max-batch", "--step-factor"}) {
        ProcessResult none =
            run_process(miner_args({option, "0", "--ws", "", "--http", "http://127.0.0.1:1"}), miner_env());
        EXPECT_EQ(none.exitCode, 5) << option;
        EXPECT_NE(none.err.find("GPU#0: cannot start: the tuning came to a batch of 0"), std::string::npos) << none.err;
    }
}

TEST(Program, NodeDownAtStartThenUpGetsTheFirstHitThrough) {
    ScriptedNode http;  // HTTP answers 404: the view stays at its defaults, every hash hits
    const unsigned short wsPort = free_port();
    const std::string wsUrl = "ws://127.0.0.1:" + std::to_string(wsPort);
    BackgroundProcess p(miner_args({"--http", http.httpUrl(), "--ws", wsUrl}), miner_env());
    ASSERT_TRUE(p.waitForOutput("[ws] connect failed: " + wsUrl + "\n", std::chrono::seconds(60)));
    ASSERT_TRUE(p.waitForOutput("[ws] reconnect failed: " + wsUrl + "\n", std::chrono::seconds(60)));

    RecordingWsServer node(wsPort);
    EXPECT_TRUE(p.waitForOutput("[ws] reconnected: " + wsUrl + "\n", std::chrono::seconds(30)));
    EXPECT_TRUE(p.waitForOutput("OK ws=1 hash=", std::chrono::seconds(30), true));
    p.signal(SIGINT);
    ProcessResult r = p.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 0);
    const std::vector<std::string> blocks = node.messages();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0].rfind("{\"event\":\"block\",\"data\":{\"timestamp\":", 0), 0u);
}

// The rig benchmark: self-test and rates per mode, as a table and as JSON.
TEST(Benchmark, TableJsonAndRefusedArguments) {
    const std::vector<std::string> quick = {BENCH_BINARY, "--batches", "1,3", "--seconds", "1", "--warmup", "0"};
    std::vector<std::string> json = quick;
    json.push_back("--json");
    ProcessResult r = run_process(json, miner_env(), std::chrono::seconds(120));
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
    ProcessResult t = run_process(table, miner_env(), std::chrono::seconds(120));
    ASSERT_EQ(t.exitCode, 0) << t.err;
    EXPECT_EQ(t.out.rfind("GPU  name", 0), 0u) << t.out;
    EXPECT_NE(t.out.find("by-segment "), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find("whole-pass"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find(" ok "), std::string::npos) << t.out;

    for (std::vector<std::string> bad : {std::vector<std::string>{"--batches", "0"}, {"--seconds", "2x"},
                                         {"--devices", "-1"}, {"--by-segment"}, {"--what"}}) {
        bad.insert(bad.begin(), BENCH_BINARY);
        ProcessResult u = run_process(bad, miner_env());
        EXPECT_EQ(u.exitCode, 1) << bad[1];
        EXPECT_EQ(u.err.rfind("usage: quorlen-bench", 0), 0u) << u.err;
    }
    ProcessResult none = run_process({BENCH_BINARY, "--devices", "7"}, miner_env());
    EXPECT_EQ(none.exitCode, 4);
}

namespace {

// A clock the test moves by hand.
struct FakeClock {
    std::chrono::steady_clock::time_point now{};
    RateWindows::Clock fn() {
        return [this] { return now; };
    }
    void advance(double seconds) {
        now += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
};

using std::chrono::seconds;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(RateWindows, AveragedOverTimeNotOverSamples) {
    FakeClock clock;
    RateWindows w(clock.fn());
    EXPECT_EQ(w.rate(seconds(10)), 0.0);
    w.add(0);
    EXPECT_EQ(w.rate(seconds(10)), 0.0);  // one sample spans no time
    // 1000 hashes in the first second, then nothing for nine: 100 H/s over
    // ten seconds, whatever the number of samples in each part.
    clock.advance(1);
    w.add(1000);
    for (int i = 0; i < 9; ++i) {
        clock.advance(1);
        w.add(1000);
    }
    EXPECT_DOUBLE_EQ(w.rate(seconds(10)), 100.0);
    EXPECT_DOUBLE_EQ(w.rate(seconds(60)), 100.0);  // only ten seconds seen so far
    // The start of a window between two samples is read off the line
    // between them.
    clock.advance(20);
    w.add(3000);
    EXPECT_DOUBLE_EQ(w.rate(seconds(10)), 100.0);
    EXPECT_DOUBLE_EQ(w.rate(seconds(15)), 100.0);
    EXPECT_NEAR(w.rate(seconds(60)), 3000.0 / 30, 1e-9);
    // Uneven ticks: a late sample covers more time, not more weight.
    clock.advance(0.5);
    w.add(3050);
    clock.advance(2.5);
    w.add(3350);
    EXPECT_NEAR(w.rate(seconds(3)), 350.0 / 3, 1e-9);
}

TEST(RateWindows, FifteenMinutesForgetTheOlderPast) {
    FakeClock clock;
    RateWindows w(clock.fn());
    std::uint64_t total = 0;
    w.add(total);
    for (int i = 0; i < 1000; ++i) {  // 100 H/s for 1000 s
        clock.advance(1);
        w.add(total += 100);
    }
    for (int i = 0; i < 1000; ++i) {  // then 400 H/s
        clock.advance(1);
        w.add(total += 400);
    }
    EXPECT_DOUBLE_EQ(w.rate(seconds(10)), 400.0);
    EXPECT_DOUBLE_EQ(w.rate(RateWindows::kLongest), 400.0);
    for (int i = 0; i < 120; ++i) {  // stalled two minutes
        clock.advance(1);
        w.add(total);
    }
    EXPECT_EQ(w.rate(seconds(60)), 0.0);
    EXPECT_DOUBLE_EQ(w.rate(RateWindows::kLongest), 400.0 * 780 / 900);
}

TEST(RigSummary, LinesPeriodAndCounters) {
    FakeClock clock;
    RigSummary summary(2, 60, clock.fn());
    std::vector<GpuCounts> counts(2);
    counts[0] = {1, 0, 2, 1, 1, 1, 0, 1, 0, 4};
    counts[1] = {0, 0, 1, 1, 0, 0, 2, 0, 1, 0};
    summary.sample(counts);
    EXPECT_FALSE(summary.due());
    clock.advance(59);
    EXPECT_FALSE(summary.due());
    counts[0].hashes = 5900;
    counts[1].hashes = 11800;
    summary.sample(counts);
    clock.advance(1);
    EXPECT_TRUE(summary.due());
    EXPECT_FALSE(summary.due());
    EXPECT_EQ(summary.text(),
              "[stats] rig (2 GPU): 10s 300.0 60s 300.0 15m 300.0 H/s; found 3 sent 2 failed 1 stale 2 hw-errors 1; "
              "node accepted 1 rejected 1 unrecognised 4\n"
              "[stats] GPU#1: 10s 100.0 60s 100.0 15m 100.0 H/s; found 2 sent 1 failed 1 stale 0 hw-errors 1; "
              "node accepted 1 rejected 0 unrecognised 4\n"
              "[stats] GPU#0: 10s 200.0 60s 200.0 15m 200.0 H/s; found 1 sent 1 failed 0 stale 2 hw-errors 0; "
              "node accepted 0 rejected 1 unrecognised 0\n");
    clock.advance(190);  // a late tick gives one summary, and the beat stays
    EXPECT_TRUE(summary.due());
    EXPECT_FALSE(summary.due());
    clock.advance(50);
    EXPECT_TRUE(summary.due());
    RigSummary never(1, 0, clock.fn());
    clock.advance(1e6);
    EXPECT_FALSE(never.due());

    WorkerCtx ctx;
    ctx.gpu = 7;
    ctx.hashes = 9;
    ctx.hwErrors = 2;
    ctx.stats->found = 3;
    ctx.stats->stale = 4;
    ctx.stats->verdicts.unrecognised = 5;
    const GpuCounts c = counts_of(ctx);
    EXPECT_EQ(c.gpu, 7);
    EXPECT_EQ(c.hashes, 9u);
    EXPECT_EQ(c.hwErrors, 2u);
    EXPECT_EQ(c.found, 3u);
    EXPECT_EQ(c.stale, 4u);
    EXPECT_EQ(c.unrecognised, 5u);
}

TEST(Program, SummaryAndTuningLinesReadWellInAFile) {
    ScriptedNode node;  // answers every read, so that only the summary and tuning lines are written
    node.set("/height", 200, "0");
    node.set("/mempool", 200, "[]");
    node.set("/diff", 200, "{\"diff\":\"0\"}");
    BackgroundProcess p(miner_args({"--ws", "", "--http", node.httpUrl(), "--summary-seconds", "1"}), miner_env());
    ASSERT_TRUE(p.waitForOutput("[stats] GPU#0", std::chrono::seconds(60)));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    p.signal(SIGINT);
    ProcessResult r = p.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 0);
    // Plain lines, no empty ones, no terminal controls.
    EXPECT_EQ(r.err.find("\n\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    EXPECT_EQ(r.err.find('\033'), std::string::npos);
    // The tuning progress is for a terminal only: a log gets the tuner's own lines.
    EXPECT_EQ(r.err.find("measuring"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[tune] B=2 -> "), std::string::npos) << r.err;
    size_t summaries = 0;
    for (const std::string& line : splitLines(r.err))
        if (line.rfind("[stats] rig (1 GPU): 10s ", 0) == 0) ++summaries;
    EXPECT_GE(summaries, 3u) << r.err;  // two a second apart, and one at the stop
    // The last summary comes after the workers stopped, with a rate.
    const auto lines = splitLines(r.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 1].rfind("[stats] GPU#0: 10s ", 0), 0u) << r.err;
    EXPECT_EQ(lines[lines.size() - 2].find("10s 0.0 "), std::string::npos) << r.err;
}

namespace {

// One tmux server of our own, on its own socket.
class Tmux {
public:
    Tmux() : socket_("quorlen-test-" + std::to_string(getpid())) {}
    ~Tmux() { run("kill-server"); }
    std::string run(const std::string& args) {
        std::string out;
        if (std::FILE* f = popen(("tmux -L " + socket_ + " -f /dev/null " + args + " 2>/dev/null").c_str(), "r")) {
            char buf[4096];
            for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
            pclose(f);
        }
        return out;
    }
    std::string screen() { return run("capture-pane -p -J -S - -t t"); }

private:
    std::string socket_;
};

std::string quoted(const std::vector<std::string>& args) {
    std::string cmd = "exec";
    for (const auto& a : args) cmd += " '" + a + "'";
    return cmd;
}

// `argv` run by env(1) in the environment `changes` make: removals first, as
// env takes them.
std::vector<std::string> underEnv(const EnvChanges& changes, const std::vector<std::string>& argv) {
    std::vector<std::string> cmd = {"env"};
    for (const auto& [name, value] : changes)
        if (!value) cmd.insert(cmd.end(), {"-u", name});
    for (const auto& [name, value] : changes)
        if (value) cmd.push_back(name + "=" + *value);
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

}  // namespace

TEST(Program, SummaryOnATerminalKeepsTheRateLineWhole) {
    if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    Tmux tmux;
    // No hits (a target of 0), so only the rate line and the summary share
    // the screen.
    const std::string cmd =
        quoted(underEnv(miner_env({{"DIFF_OVERRIDE", "0"}}),
                        miner_args({"--ws", "", "--http", "http://127.0.0.1:1", "--summary-seconds", "2"})));
    tmux.run("new-session -d -s t -x 250 -y 50 \"" + cmd + "\" \\; set-option -w -t t remain-on-exit on");
    const int pid = std::atoi(tmux.run("list-panes -t t -F '#{pane_pid}'").c_str());
    ASSERT_GT(pid, 0);
    auto count = [](const std::string& text, const std::string& needle) {
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    };
    ASSERT_TRUE(wait_until([&] { return count(tmux.screen(), "[stats] rig") >= 2; }, 60000)) << tmux.screen();
    // Wait for the rate line drawn again under the latest summary.
    ASSERT_TRUE(wait_until([&] {
        const auto lines = splitLines(tmux.screen());
        size_t last = 0;
        for (size_t i = 0; i < lines.size(); ++i)
            if (!lines[i].empty()) last = i;
        return lines.size() > 1 && lines[last].rfind("Hashrate: ", 0) == 0 &&
               lines[last - 1].rfind("[stats] GPU#0", 0) == 0;
    }, 10000)) << tmux.screen();
    kill(pid, SIGINT);
    ASSERT_TRUE(wait_until([&] { return tmux.run("list-panes -t t -F '#{pane_dead}'").rfind("1", 0) == 0; }, 30000));
    const std::string screen = tmux.screen();
    for (const std::string& line : splitLines(screen)) {
        // Every line starts with its own text: nothing written into another.
        if (line.find("[stats]") != std::string::npos) {
            EXPECT_EQ(line.rfind("[stats] ", 0), 0u) << screen;
        }
        if (line.find("Hashrate:") != std::string::npos) {
            EXPECT_EQ(line.rfind("Hashrate: ", 0), 0u) << screen;
        }
        // The tuning progress was cleared before the tuner's own line.
        EXPECT_EQ(line.find("measuring B="), std::string::npos) << screen;
    }
    EXPECT_NE(screen.find("\n[tune] B=2 -> "), std::string::npos) << screen;
    const size_t stopping = screen.find("\nStopping...\n");
    ASSERT_NE(stopping, std::string::npos) << screen;
    EXPECT_NE(screen.find("\n[stats] rig (1 GPU): ", stopping), std::string::npos) << screen;
}

// Every worker's device stops answering (the test-only hang in the host
// flavour's device waits). Ctrl-C ends the miner within 2 s, with its final
// statistics, before the watchdog (at its 30 s floor) has said anything;
// with the watchdog shortened, the miner stops by itself with status 6, as
// it does for one stalled GPU of two under --exit-on-stall.
TEST(Watchdog, EveryGpuStalledEndsTheMiner) {
    auto hang = miner_env();
    hang["QUORLEN_TEST_HANG"] = "3";
    BackgroundProcess stuck(miner_args({"--ws", "", "--http", "http://127.0.0.1:1"}), hang);
    ASSERT_TRUE(stuck.waitForOutput("Hashrate: ", std::chrono::seconds(60), true)) << stuck.err();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the worker is in its hung wait by now
    const auto stopAt = std::chrono::steady_clock::now();
    stuck.signal(SIGINT);
    const ProcessResult r = stuck.wait(std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(2000));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("[stats] rig (1 GPU)"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("stopped answering"), std::string::npos) << r.err;

    hang["QUORLEN_WATCHDOG_TEST_MS"] = "1000";
    const ProcessResult all = run_process(miner_args({"--ws", "", "--http", "http://127.0.0.1:1"}), hang);
    EXPECT_EQ(all.exitCode, 6) << all.err;
    EXPECT_NE(all.err.find("[gpu] GPU#0 stopped answering: no batch finished for "), std::string::npos) << all.err;
    EXPECT_NE(all.err.find("\nevery GPU is unusable; stopping\n"), std::string::npos) << all.err;

    hang["QUORLEN_TEST_HANG"] = "3:one";
    const ProcessResult one =
        run_process(miner_args({"--devices", "0,0", "--exit-on-stall", "--ws", "", "--http", "http://127.0.0.1:1"}),
                    hang);
    EXPECT_EQ(one.exitCode, 6) << one.err;
    EXPECT_NE(one.err.find("a GPU stopped answering and --exit-on-stall is given; stopping"), std::string::npos)
        << one.err;
    EXPECT_NE(one.err.find("[stats] rig (2 GPU)"), std::string::npos) << one.err;
}

// Stalled means waiting on the device longer than 10 batch times, never
// less than the floor, with room before the first batch; what the worker
// does off the device (node requests, a thermal pause) never counts.
TEST(Watchdog, LimitsAndWhatCountsAsStalled) {
    const GpuWatchdog dog;
    EXPECT_EQ(dog.limit_ms(0.5, false), 30000u);      // the floor
    EXPECT_EQ(dog.limit_ms(4.0, false), 40000u);      // 10 batch times
    EXPECT_EQ(dog.limit_ms(4.0, true), 160000u);      // and the first batch's build
    EXPECT_EQ(dog.limit_ms(0, false), 30000u);        // no rate known
    EXPECT_EQ(dog.limit_ms(1e300, false), 1000000000000u);

    WorkerCtx ctx;
    const std::uint64_t now = 1000000;
    ctx.lastBatchMs = now - 45000;
    ctx.batchesDone = 5;
    EXPECT_FALSE(dog.check(ctx, 1.0, now));  // not on the device: a slow node, a pause
    ctx.deviceWaitSinceMs = now - 30000;
    EXPECT_FALSE(dog.check(ctx, 1.0, now));  // exactly at the limit
    ctx.deviceWaitSinceMs = now - 30001;
    EXPECT_EQ(dog.check(ctx, 1.0, now), std::optional<std::uint64_t>(45000));
    ctx.batchesDone = 0;
    EXPECT_FALSE(dog.check(ctx, 1.0, now));  // still building its first batch
    ctx.batchesDone = 5;
    ctx.stalled = true;
    EXPECT_FALSE(dog.check(ctx, 1.0, now));  // said once
    ctx.stalled = false;
    ctx.finished = true;
    EXPECT_FALSE(dog.check(ctx, 1.0, now));
}
