// One GPU's device work at start (its self-test and its tuning) on a thread
// of that GPU's own, so that a driver that never returns holds that thread
// and not the main one: the main thread waits for it within limits the
// supervision checks, and may leave it behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quorlen::app {

enum class StartPhase { SelfTest, Tuning };

// "during its self-test" / "while tuning", as the lines naming a hang say.
const char* phase_words(StartPhase phase);

class DeviceStart {
public:
    // Runs `work` at once on a new thread named `threadName` (15 characters
    // at most are kept). The work tells each step's limit through `step`.
    DeviceStart(const std::string& threadName, std::function<void(DeviceStart&)> work);
    // Joins a finished thread; one still inside a driver call is left
    // behind, with what it holds of this object.
    ~DeviceStart();
    DeviceStart(const DeviceStart&) = delete;
    DeviceStart& operator=(const DeviceStart&) = delete;

    // On the start thread: a new step of device work begins now and may take
    // `limitMs` (steady clock).
    void step(StartPhase phase, std::uint64_t limitMs);

    bool finished() const { return state_->finished.load(); }
    // What the work threw, once finished; null when it returned.
    std::exception_ptr error() const { return finished() ? state_->error : nullptr; }

    StartPhase phase() const { return StartPhase(state_->phase.load()); }
    std::uint64_t step_since_ms() const { return state_->since.load(); }
    std::uint64_t step_limit_ms() const { return state_->limit.load(); }

private:
    struct State {
        std::atomic<bool> finished{false};
        std::exception_ptr error;  // written before `finished`
        std::atomic<int> phase{int(StartPhase::SelfTest)};
        std::atomic<std::uint64_t> since{0};
        std::atomic<std::uint64_t> limit{0};
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

// Names the calling thread as `ps -L`, a debugger and the test stand-ins see
// it (15 characters at most are kept).
void name_this_thread(const std::string& name);

}  // namespace quorlen::app
