// The process-wide stop request, set by the signal handler and polled by
// every loop that may run for long (supervision, tuning, workers).
#pragma once

#include <atomic>

extern std::atomic<bool> g_stop;
