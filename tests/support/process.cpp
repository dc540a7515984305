#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string tempPath(const char* tag) {
    std::string tmpl = std::string("/tmp/quorlen-test-") + tag + "-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    return tmpl;
}

int spawn(const std::vector<std::string>& argv, const EnvChanges& env, const std::string& outPath,
          const std::string& errPath) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
        int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        setpgid(0, 0);
        for (const auto& [k, v] : env) {
            if (v) setenv(k.c_str(), v->c_str(), 1);
            else unsetenv(k.c_str());
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const EnvChanges& env)
    : outPath_(tempPath("out")), errPath_(tempPath("err")) {
    pid_ = spawn(argv, env, outPath_, errPath_);
}

BackgroundProcess::~BackgroundProcess() {
    if (!result_) {
        ::kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
    ::unlink(outPath_.c_str());
    ::unlink(errPath_.c_str());
}

void BackgroundProcess::signal(int sig) { ::kill(pid_, sig); }

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds deadline) {
    if (result_) return *result_;
    ProcessResult r;
    auto until = std::chrono::steady_clock::now() + deadline;
    int st = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &st, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() > until) {
            r.timedOut = true;
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(st)) r.exitCode = WEXITSTATUS(st);
    if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
    r.out = out();
    r.err = err();
    result_ = r;
    return r;
}

std::string BackgroundProcess::out() const { return readFile(outPath_); }
std::string BackgroundProcess::err() const { return readFile(errPath_); }

bool BackgroundProcess::waitForOutput(const std::string& needle, std::chrono::milliseconds deadline,
                                      bool onStdout) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        if ((onStdout ? out() : err()).find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

ProcessResult run_process(const std::vector<std::string>& argv, const EnvChanges& env,
                          std::chrono::milliseconds deadline) {
    BackgroundProcess p(argv, env);
    return p.wait(deadline);
}
