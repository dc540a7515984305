#include "app/stop_flag.h"

std::atomic<bool> g_stop{false};
