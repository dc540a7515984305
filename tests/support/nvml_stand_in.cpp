// A stand-in for NVIDIA's management library: the same C symbols the miner
// looks up, serving values a test scripts through nvml_stand_in_set. Loaded
// through the miner's own dlopen path (QUORLEN_NVML_LIBRARY). A library
// that hangs is played by holding every call: by nvml_stand_in_hold, or
// from the start with NVML_STAND_IN_HOLD set.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Card {
    int temperature, milliwatts, fan, core, memory;  // below 0: "not supported"
};

std::mutex lock;
std::map<std::string, Card> cards;
std::atomic<int> initialised{0};  // calls to init less those to shut down
// Polled rather than waited on: a call still held when the process exits
// must not meet a destroyed condition variable.
std::atomic<bool> held{std::getenv("NVML_STAND_IN_HOLD") != nullptr};

void waitWhileHeld() {
    while (held.load()) usleep(5000);
}

constexpr int kSuccess = 0, kUninitialised = 1, kNotSupported = 3, kNotFound = 6;

const Card* find(void* device) { return static_cast<const Card*>(device); }

int answer(int value, unsigned* out) {
    if (value < 0) return kNotSupported;
    *out = unsigned(value);
    return kSuccess;
}

}  // namespace

extern "C" {

// Scripts (or rewrites) the card at `busId`.
__attribute__((visibility("default"))) void nvml_stand_in_set(const char* busId, int temperature, int milliwatts,
                                                              int fan, int core, int memory) {
    std::lock_guard<std::mutex> g(lock);
    cards[busId] = {temperature, milliwatts, fan, core, memory};
}

__attribute__((visibility("default"))) int nvml_stand_in_initialised() { return initialised.load(); }

// Every call from now on blocks until released (0).
__attribute__((visibility("default"))) void nvml_stand_in_hold(int hold) { held = hold != 0; }

int nvmlInit_v2() {
    waitWhileHeld();
    ++initialised;
    return kSuccess;
}
int nvmlShutdown() {
    --initialised;
    return kSuccess;
}
int nvmlDeviceGetHandleByPciBusId_v2(const char* busId, void** device) {
    waitWhileHeld();
    if (initialised <= 0) return kUninitialised;
    std::lock_guard<std::mutex> g(lock);
    auto it = cards.find(busId);
    if (it == cards.end()) return kNotFound;
    *device = &it->second;  // map nodes stay put
    return kSuccess;
}
int nvmlDeviceGetTemperature(void* device, int sensor, unsigned* out) {
    return sensor == 0 ? answer(find(device)->temperature, out) : kNotSupported;
}
int nvmlDeviceGetPowerUsage(void* device, unsigned* out) { return answer(find(device)->milliwatts, out); }
int nvmlDeviceGetFanSpeed(void* device, unsigned* out) { return answer(find(device)->fan, out); }
int nvmlDeviceGetClockInfo(void* device, int type, unsigned* out) {
    if (type == 0) return answer(find(device)->core, out);
    if (type == 2) return answer(find(device)->memory, out);
    return kNotSupported;
}
}
