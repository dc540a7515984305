#include "app/device_start.h"

#include <pthread.h>

#include "node/steady_ms.h"

namespace quorlen::app {

const char* phase_words(StartPhase phase) {
    return phase == StartPhase::SelfTest ? "during its self-test" : "while tuning";
}

void name_this_thread(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

DeviceStart::DeviceStart(const std::string& threadName, std::function<void(DeviceStart&)> work) {
    // The thread keeps the state alive: it may outlive this object when it
    // is left behind in a driver call.
    thread_ = std::thread([this, state = state_, threadName, work = std::move(work)] {
        name_this_thread(threadName);
        try {
            work(*this);
        } catch (...) {
            state->error = std::current_exception();
        }
        state->finished.store(true);
    });
}

DeviceStart::~DeviceStart() {
    if (!thread_.joinable()) return;
    if (finished()) thread_.join();
    else thread_.detach();
}

void DeviceStart::step(StartPhase phase, std::uint64_t limitMs) {
    state_->limit.store(limitMs);
    state_->phase.store(int(phase));
    state_->since.store(node::steady_ms());
}

}  // namespace quorlen::app
