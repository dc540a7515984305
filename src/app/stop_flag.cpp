#include "app/stop_flag.h"

#include <time.h>

std::atomic<bool> g_stop{false};
std::atomic<long long> g_stop_ms{0};

static_assert(std::atomic<long long>::is_always_lock_free, "request_stop runs in a signal handler");

void request_stop() noexcept {
    // clock_gettime is async-signal-safe; the steady clock reads the same one.
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    long long none = 0;
    g_stop_ms.compare_exchange_strong(none, static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
    g_stop.exchange(true);
}
