// The process-wide stop request, set by the signal handler and polled by
// every loop that may run for long (supervision, tuning, workers).
#pragma once

#include <atomic>

extern std::atomic<bool> g_stop;
// Steady-clock milliseconds of the first stop request (0 until then): work
// under way when it came is given a grace counted from this moment, not
// from when some loop happens to notice.
extern std::atomic<long long> g_stop_ms;

// Records the time of the first request, then sets g_stop. Safe in a
// signal handler.
void request_stop() noexcept;
