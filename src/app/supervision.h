// The miner's supervision, on a thread of its own from before the first
// device is touched to the end: it finds a GPU whose start (self-test,
// tuning) or whose worker stopped answering, and one that answers again,
// keeps a paused process from counting as a stalled one, beats systemd's
// watchdog, and makes sure a stop request ends the process within 2 s even
// when the main thread is stuck in a driver call. It never waits on a
// device. What it finds, the main thread says (`take_news`), after showing
// it to the monitoring API, so that a line and the API never disagree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/gpu_watchdog.h"

struct WorkerCtx;

namespace quorlen::app {

class DeviceStart;
class SystemdNotifier;

struct SupervisionSettings {
    StallLimits limits;
    bool exitOnStall = false;
    // How often the supervision looks; a wake far later than this means the
    // whole process was stopped (SIGSTOP, a frozen container).
    std::uint64_t periodMs = 50;
    std::uint64_t pauseMs = 2000;
    // When a stop request has not ended the process after this long, the
    // supervision ends it: the main thread is stuck in a driver call.
    std::uint64_t stopBackstopMs = 1700;
};

class Supervision {
public:
    // Starts the thread. `stop` is the process's stop request; lines go to `log`.
    Supervision(const SupervisionSettings& settings, std::atomic<bool>* stop, SystemdNotifier& notifier,
                std::FILE* log = stderr);
    ~Supervision();
    Supervision(const Supervision&) = delete;
    Supervision& operator=(const Supervision&) = delete;

    // GPU `gpu`'s start runs on `start`: it is watched step by step until
    // `end_start`. Once it overruns a step's limit it is named, and
    // `start_hung` says so.
    void watch_start(int gpu, const DeviceStart* start);
    void end_start();
    bool start_hung() const { return startHung_.load(); }

    // A worker that has started, whose batches take `batchSeconds`.
    void watch_worker(WorkerCtx* ctx, double batchSeconds);

    // Before the workers' contexts are destroyed: watch them no more.
    void release_workers();

    // The lines found since the last call, in order, each with its line feed.
    std::vector<std::string> take_news();

    // Asks for the process to end with `status` (the first request counts),
    // saying `why` (one line, if any, as news), and sets the stop request.
    void request_exit(int status, const std::string& why);
    int exit_status() const { return exitStatus_.load(); }

    // The stop's words, each said once, by whoever ends the process first:
    // the main thread in an orderly stop, or the supervision's backstop.
    void say_stopping();
    void say_statistics(const std::string& text);

private:
    void loop();
    void tick(std::uint64_t nowMs);
    void watchStart(std::uint64_t nowMs);
    void watchWorkers(std::uint64_t nowMs);
    void requestExit(int status, const std::string& why);  // with `mutex_` held
    void say(std::string line);                           // with `mutex_` held
    [[noreturn]] void endStuckProcess();
    std::string workerStatistics();

    struct Watched {
        WorkerCtx* ctx;
        double batchSeconds;
        std::uint64_t quietSinceMs = 0;  // while stalled: since when
        std::uint64_t batchesAtStall = 0;
    };

    const SupervisionSettings settings_;
    const GpuWatchdog watchdog_;
    std::atomic<bool>* const stop_;
    SystemdNotifier& notifier_;
    std::FILE* const log_;

    std::mutex mutex_;  // guards everything below that is not atomic
    std::condition_variable wake_;
    bool quit_ = false;
    int startGpu_ = -1;
    const DeviceStart* start_ = nullptr;
    std::vector<Watched> workers_;
    std::vector<std::string> news_;
    std::atomic<bool> startHung_{false};
    std::atomic<int> exitStatus_{0};
    bool exitRequested_ = false;
    // Every limit counts from no earlier than this: set when the process
    // resumes after a pause.
    std::uint64_t freshFromMs_ = 0;
    std::uint64_t lastTickMs_ = 0;
    std::uint64_t stopSeenMs_ = 0;
    std::uint64_t lastBeatMs_ = 0;

    std::mutex wordsMutex_;
    bool stoppingSaid_ = false;
    bool statisticsSaid_ = false;

    std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace quorlen::app
