#include "telemetry/telemetry_reader.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace quorlen::telemetry {

// Everything the reader's thread touches; it holds its own reference, so a
// thread left behind in the library never sees freed memory.
struct TelemetryReader::Shared {
    std::string library;
    mutable std::mutex lock;
    std::condition_variable changed;
    State state = State::Loading;
    std::string problem;
    std::vector<std::string> devices;
    std::map<std::string, Sample> samples;
    std::uint64_t requested = 0, done = 0;  // rounds
    bool stop = false;
    bool exited = false;
    std::thread thread;
};

TelemetryReader::TelemetryReader(std::string library) : shared_(std::make_shared<Shared>()) {
    shared_->library = std::move(library);
    shared_->thread = std::thread(serve, shared_);
}

TelemetryReader::~TelemetryReader() {
    std::unique_lock<std::mutex> g(shared_->lock);
    shared_->stop = true;
    shared_->changed.notify_all();
    // The library's shutdown call is quick when the library is sound.
    if (shared_->changed.wait_for(g, std::chrono::milliseconds(200), [&] { return shared_->exited; })) {
        g.unlock();
        shared_->thread.join();
    } else {
        shared_->thread.detach();
    }
}

void TelemetryReader::serve(const std::shared_ptr<Shared>& shared) {
    {
        GpuTelemetry library(shared->library);
        {
            std::lock_guard<std::mutex> g(shared->lock);
            shared->state = library.available() ? State::Ready : State::Unavailable;
            shared->problem = library.problem();
            shared->changed.notify_all();
        }
        std::unique_lock<std::mutex> g(shared->lock);
        while (library.available()) {
            shared->changed.wait(g, [&] { return shared->stop || shared->requested > shared->done; });
            if (shared->stop) break;
            const std::uint64_t round = shared->requested;
            const std::vector<std::string> devices = shared->devices;
            for (const std::string& device : devices) {
                g.unlock();
                std::optional<GpuReading> reading = library.read(device);
                g.lock();
                shared->samples[device] = {std::move(reading), Clock::now()};
            }
            shared->done = round;
            shared->changed.notify_all();
        }
    }  // the library shut down and unloaded
    std::lock_guard<std::mutex> g(shared->lock);
    shared->exited = true;
    shared->changed.notify_all();
}

TelemetryReader::State TelemetryReader::state() const {
    std::lock_guard<std::mutex> g(shared_->lock);
    return shared_->state;
}

std::string TelemetryReader::problem() const {
    std::lock_guard<std::mutex> g(shared_->lock);
    return shared_->problem;
}

TelemetryReader::State TelemetryReader::wait_loaded(std::chrono::milliseconds timeout,
                                                    const std::function<bool()>& cancel) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> g(shared_->lock);
    while (shared_->state == State::Loading && Clock::now() < deadline && !(cancel && cancel())) {
        const auto slice = std::min<Clock::time_point>(deadline, Clock::now() + std::chrono::milliseconds(50));
        shared_->changed.wait_until(g, slice, [&] { return shared_->state != State::Loading; });
    }
    return shared_->state;
}

void TelemetryReader::watch(const std::string& pciBusId) {
    if (pciBusId.empty()) return;
    std::lock_guard<std::mutex> g(shared_->lock);
    if (std::find(shared_->devices.begin(), shared_->devices.end(), pciBusId) == shared_->devices.end())
        shared_->devices.push_back(pciBusId);
}

bool TelemetryReader::refresh(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(shared_->lock);
    if (shared_->state == State::Unavailable || shared_->requested > shared_->done) return false;
    const std::uint64_t round = ++shared_->requested;
    shared_->changed.notify_all();
    return shared_->changed.wait_for(g, timeout, [&] { return shared_->done >= round; });
}

TelemetryReader::Sample TelemetryReader::latest(const std::string& pciBusId) const {
    std::lock_guard<std::mutex> g(shared_->lock);
    const auto it = shared_->samples.find(pciBusId);
    return it == shared_->samples.end() ? Sample{} : it->second;
}

}  // namespace quorlen::telemetry
