// The miner under supervision from its first line: a device that stops
// answering while the rig starts, a stop request in every phase, a stall
// that ends, a paused process, and what systemd hears. The device's hangs
// are the test-only stand-in's (QUORLEN_TEST_HANG), by role: "main" the
// main thread's listing of the devices, "start" a GPU's self-test and
// tuning, the default the workers.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/gpu_watchdog.h"
#include "support/device.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/scratch.h"
#include "worker/worker_ctx.h"

using namespace quorlen::app;
using namespace std::chrono_literals;

namespace {

[[maybe_unused]] const testing::Environment* const kNeedsDevice = testing::AddGlobalTestEnvironment(new NeedsDevice);

const std::vector<std::string> kNoNode = {"--ws", "", "--http", "http://127.0.0.1:1"};

std::vector<std::string> args(std::vector<std::string> extra) {
    extra.insert(extra.end(), kNoNode.begin(), kNoNode.end());
    return miner_args(extra);
}

// A hang stand-in, with the watchdog's floor at `floorMs` (four times it as
// room for a build, a measurement its own length).
EnvChanges hanging(const std::string& hang, int floorMs = 1000) {
    return miner_env({{"QUORLEN_TEST_HANG", hang.empty() ? std::nullopt : std::optional<std::string>(hang)},
                      {"QUORLEN_WATCHDOG_TEST_MS", std::to_string(floorMs)}});
}

// What the stand-in says when it holds a wait.
constexpr const char* kHeld = "[test] device wait held\n";

std::size_t count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

// A GPU whose self-test or tuning stops answering is named once, within its
// step's limit, and left out: with no GPU left the miner ends with status 6
// and its statistics. A first GPU's worker that hangs while the second entry
// tunes is named then, not once that tuning is done.
TEST(StartWatch, HangsDuringTheStartAreNamedAndLeftOut) {
    const struct {
        const char* hang;
        const char* named;
    } cases[] = {
        {"start:0", "[gpu] GPU#0 stopped answering during its self-test\n"},
        {"start:1", "[gpu] GPU#0 stopped answering while tuning\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = run_process(args({}), hanging(c.hang), 60s);
        EXPECT_EQ(r.exitCode, 6) << c.hang << "\n" << r.err;
        EXPECT_EQ(count(r.err, c.named), 1u) << c.hang << "\n" << r.err;
        EXPECT_LT(r.err.find(kHeld), r.err.find(c.named)) << "named for the hang\n" << r.err;
        EXPECT_NE(r.err.find("\nevery GPU is unusable; stopping\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("[stats] rig (0 GPU)"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("[tune] best BATCH="), std::string::npos) << r.err;
    }

    const ProcessResult later = run_process(
        args({"--devices", "0,0", "--exit-on-stall", "--max-batch", "16", "--tolerance", "-1"}),
        hanging("3:one"), 90s);
    EXPECT_EQ(later.exitCode, 6) << later.err;
    const std::size_t named = later.err.find("[gpu] GPU#0 stopped answering: no batch finished for ");
    const std::size_t firstTuned = later.err.find("[tune] best BATCH=");
    ASSERT_NE(named, std::string::npos) << later.err;
    EXPECT_LT(firstTuned, named) << later.err;
    // The second entry's tuning was under way, and is cut short by the exit.
    EXPECT_LT(named, later.err.find("[tune] best BATCH=", firstTuned + 1)) << later.err;
    EXPECT_NE(later.err.find("a GPU stopped answering and --exit-on-stall is given; stopping"), std::string::npos);
}

// SIGINT, SIGTERM and SIGHUP each end the miner within 2 s, with status 0,
// "Stopping..." and the final statistics, whatever it is doing: the main
// thread stuck listing the devices, a GPU stuck in its self-test or its
// tuning, a later GPU being tuned while the first mines, and mining.
TEST(StartWatch, EverySignalEndsEveryPhaseWithinTwoSeconds) {
    const struct {
        const char* phase;
        const char* hang;
        std::vector<std::string> extra;
        const char* reached;
        bool onStdout;
    } phases[] = {
        {"listing the devices", "main:0", {}, kHeld, false},
        {"self-test", "start:0", {}, kHeld, false},
        {"tuning", "start:1", {}, kHeld, false},
        {"a later GPU's tuning", "", {"--devices", "0,0", "--step-seconds", "3"}, "[tune] best BATCH=", false},
        {"mining", "", {}, "Hashrate: ", true},
    };
    for (const auto& p : phases)
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
            const std::string what = std::string(p.phase) + ", signal " + std::to_string(sig);
            BackgroundProcess miner(args(p.extra), hanging(p.hang));
            ASSERT_TRUE(miner.waitForOutput(p.reached, 60s, p.onStdout)) << what << "\n" << miner.err();
            std::this_thread::sleep_for(300ms);
            const auto stopAt = std::chrono::steady_clock::now();
            miner.signal(sig);
            const ProcessResult r = miner.wait(10s);
            EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 2000ms) << what;
            EXPECT_EQ(r.exitCode, 0) << what << "\n" << r.err;
            EXPECT_NE(r.out.find("\nStopping...\n"), std::string::npos) << what;
            EXPECT_EQ(count(r.err, "[stats] rig ("), 1u) << what << "\n" << r.err;
        }
}

// A wait that returns after the watchdog named it (a driver that
// recovers): said once, and the GPU mines and counts again. A process
// stopped whole for longer than the floor (SIGSTOP, a frozen container)
// is not a stall, even with --exit-on-stall. The floor is 3 s: this test
// also runs under ThreadSanitizer, where batches are slow.
TEST(StartWatch, AStallMayEndAndAPauseIsNoStall) {
    BackgroundProcess recovering(args({"--devices", "0,0"}), hanging("3:one:for=8000", 3000));
    ASSERT_TRUE(recovering.waitForOutput("[gpu] GPU#0 stopped answering: no batch finished for ", 60s))
        << recovering.err();
    EXPECT_TRUE(recovering.waitForOutput("[gpu] GPU#0 answers again after ", 30s)) << recovering.err();
    recovering.signal(SIGINT);
    const ProcessResult r = recovering.wait(10s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(count(r.err, "stopped answering"), 1u) << r.err;
    EXPECT_EQ(count(r.err, "answers again"), 1u) << r.err;

    // No hits (so no pause after a send), and batches long enough that the
    // worker is inside a device wait when the process stops, and still is
    // for a moment after it resumes.
    EnvChanges noHits = hanging("", 3000);
    noHits["DIFF_OVERRIDE"] = "0";
    BackgroundProcess paused(args({"--exit-on-stall", "--start-batch", "24", "--max-batch", "24"}), noHits);
    ASSERT_TRUE(paused.waitForOutput("Hashrate: ", 60s, true)) << paused.err();
    std::this_thread::sleep_for(1s);
    paused.signal(SIGSTOP);
    std::this_thread::sleep_for(6s);  // well past the limit
    paused.signal(SIGCONT);
    std::this_thread::sleep_for(3s);
    paused.signal(SIGINT);
    const ProcessResult p = paused.wait(10s);
    EXPECT_EQ(p.exitCode, 0) << p.err;
    EXPECT_EQ(p.err.find("stopped answering"), std::string::npos) << p.err;
}

// The limits of a start's steps: a self-test has the floor and the room for
// a cold build; a measurement ten times its length, never under the floor,
// with the same room.
TEST(StartWatch, StepLimits) {
    const StallLimits limits;
    EXPECT_EQ(limits.self_test_ms(), 150000u);
    EXPECT_EQ(limits.measurement_ms(11), 230000u);  // 3 s warm-up and 8 s counted
    EXPECT_EQ(limits.measurement_ms(1), 150000u);   // the floor
    EXPECT_EQ(limits.measurement_ms(-5), 150000u);
    EXPECT_EQ(limits.measurement_ms(2000000000), 1000000000000u + 120000u);

    // A wait counts from no earlier than the process's resumption.
    const GpuWatchdog dog;
    WorkerCtx ctx;
    const std::uint64_t now = 1000000;
    ctx.batchesDone = 5;
    ctx.lastBatchMs = now - 60000;
    ctx.deviceWaitSinceMs = now - 60000;
    EXPECT_TRUE(dog.check(ctx, 1.0, now));
    EXPECT_FALSE(dog.check(ctx, 1.0, now, now - 1000));
    EXPECT_EQ(dog.check(ctx, 1.0, now + 30001, now), std::optional<std::uint64_t>(90001));
}

#ifdef QUORLEN_HAVE_SYSTEMD
// systemd hears, on the socket it names: the GPU being started, READY=1
// once one mines, the rate line, a heartbeat while the supervision runs
// (asked for with WATCHDOG_USEC), and the stop.
TEST(Systemd, TheNotifySocketHearsTheStartTheRateHeartbeatsAndTheStop) {
    const ScratchDir dir;
    const std::string path = dir.path() + "/notify";
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    EnvChanges env = miner_env({{"NOTIFY_SOCKET", path}, {"WATCHDOG_USEC", "10000000"}});
    BackgroundProcess miner(args({}), env);
    std::vector<std::string> heard;
    const auto listen = [&](std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) heard.emplace_back(buf, std::size_t(n));
        }
    };
    ASSERT_TRUE(miner.waitForOutput("Hashrate: ", 60s, true)) << miner.err();
    listen(2500ms);
    miner.signal(SIGTERM);
    EXPECT_EQ(miner.wait(10s).exitCode, 0);
    listen(300ms);
    close(fd);

    std::string all;
    for (const std::string& m : heard) all += m + "\n";
    const std::size_t starting = all.find("STATUS=starting GPU#0\n");
    const std::size_t ready = all.find("READY=1\n");
    ASSERT_NE(starting, std::string::npos) << all;
    ASSERT_NE(ready, std::string::npos) << all;
    EXPECT_LT(starting, ready);
    EXPECT_EQ(count(all, "READY=1"), 1u) << all;
    EXPECT_NE(all.find("STATUS=Hashrate: "), std::string::npos) << all;
    EXPECT_GE(count(all, "WATCHDOG=1\n"), 2u) << all;
    EXPECT_NE(all.find("STOPPING=1\n"), std::string::npos) << all;
}
#endif
