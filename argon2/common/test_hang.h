// For tests only: a device whose driver stops answering. With
// QUORLEN_TEST_HANG="N" every wait for the device made by a thread other
// than the main one blocks for ever once such threads have made N waits;
// with "N:one" only the first thread past N blocks, the others go on. The
// main thread (self-test, tuning) is never held, so it is the workers that
// meet the hang. Unset: nothing happens.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace argon2::test_hang {

struct Setting {
    long after = -1;  // -1: off
    bool one = false;
};

inline Setting readSetting() {
    Setting s;
    const char* text = std::getenv("QUORLEN_TEST_HANG");
    if (!text || !*text) return s;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || n < 0) return s;
    s.after = n;
    s.one = std::strcmp(end, ":one") == 0;
    return s;
}

// Call where the host waits for the device, before any lock is taken.
inline void wait_point() {
    static const Setting setting = readSetting();
    if (setting.after < 0 || syscall(SYS_gettid) == getpid()) return;
    static std::atomic<long> waits{0};
    static std::atomic<long> hungThread{0};
    thread_local bool hung = false;
    if (!hung) {
        if (waits.fetch_add(1) < setting.after) return;
        long none = 0;
        const long self = long(syscall(SYS_gettid));
        if (setting.one && !hungThread.compare_exchange_strong(none, self) && none != self) return;
        hung = true;
    }
    for (;;) pause();  // as a driver call that never returns
}

}  // namespace argon2::test_hang
