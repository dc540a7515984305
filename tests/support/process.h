// Runs a program to completion (or a deadline) and captures its output.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1;    // -1 when killed by a signal
    int signal = 0;       // the signal that ended it, if any
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Environment entries set (a value) or removed (nullopt) on top of ours.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

ProcessResult run_process(const std::vector<std::string>& argv, const EnvChanges& env = {},
                          std::chrono::milliseconds deadline = std::chrono::seconds(60));

// A program started in the background; its output is collected into files.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const EnvChanges& env = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    int pid() const { return pid_; }
    void signal(int sig);
    // Waits for the end; the result's timedOut is set (and the process
    // killed) when the deadline passes first.
    ProcessResult wait(std::chrono::milliseconds deadline);
    std::string out() const;
    std::string err() const;
    // Polls standard error (or output) until it contains `needle`.
    bool waitForOutput(const std::string& needle, std::chrono::milliseconds deadline, bool onStdout = false);

private:
    int pid_ = -1;
    std::string outPath_, errPath_;
    std::optional<ProcessResult> result_;
};
