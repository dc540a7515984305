// For tests only: a device whose driver stops answering. With
// QUORLEN_TEST_HANG="[ROLE:]N[:one][:for=MS]" every wait for the device made
// by a thread of that role blocks for ever once such threads have made N
// waits; with ":one" only the first thread past N blocks, the others go on;
// with ":for=MS" the blocked wait returns after MS milliseconds, once, as a
// driver that recovers. Roles are told by the thread's name, which the miner
// gives its threads:
//   mine   (the default) the workers, "mine-gpu…";
//   start  the threads that self-test and tune a GPU at start, "start-gpu…";
//   main   the main thread (its waits: listing the devices).
// In the host flavour "start:0" hangs a GPU's self-test, "start:1" its
// tuning after the self-test's one batch. When a wait is held, standard
// error gets "[test] device wait held". Unset: nothing happens.
#pragma once

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <cstdlib>
#include <cstring>

namespace argon2::test_hang {

enum class Role { Mine, Start, Main, Other };

struct Setting {
    long after = -1;  // -1: off
    bool one = false;
    Role role = Role::Mine;
    long forMs = 0;  // 0: for ever
};

inline Setting readSetting() {
    Setting s;
    const char* text = std::getenv("QUORLEN_TEST_HANG");
    if (!text || !*text) return s;
    const struct {
        const char* prefix;
        Role role;
    } roles[] = {{"mine:", Role::Mine}, {"start:", Role::Start}, {"main:", Role::Main}};
    for (const auto& r : roles)
        if (std::strncmp(text, r.prefix, std::strlen(r.prefix)) == 0) {
            s.role = r.role;
            text += std::strlen(r.prefix);
        }
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || n < 0) return s;
    s.after = n;
    if (std::strncmp(end, ":one", 4) == 0) {
        s.one = true;
        end += 4;
    }
    if (std::strncmp(end, ":for=", 5) == 0) s.forMs = std::strtol(end + 5, nullptr, 10);
    return s;
}

inline Role callingRole() {
    if (syscall(SYS_gettid) == getpid()) return Role::Main;
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    if (std::strncmp(name, "mine-", 5) == 0) return Role::Mine;
    if (std::strncmp(name, "start-", 6) == 0) return Role::Start;
    return Role::Other;
}

// Call where the host waits for the device, before any lock is taken.
inline void waitPoint() {
    static const Setting kSetting = readSetting();
    if (kSetting.after < 0 || callingRole() != kSetting.role) return;
    static std::atomic<long> waits{0};
    static std::atomic<long> hungThread{0};
    thread_local bool hung = false;
    thread_local bool recovered = false;
    if (recovered) return;
    if (!hung) {
        if (waits.fetch_add(1) < kSetting.after) return;
        long none = 0;
        const long self = long(syscall(SYS_gettid));
        if (kSetting.one && !hungThread.compare_exchange_strong(none, self) && none != self) return;
        hung = true;
        // Tests and drills time what follows from here.
        static const char kNote[] = "[test] device wait held\n";
        [[maybe_unused]] const ssize_t written = write(2, kNote, sizeof kNote - 1);
    }
    if (kSetting.forMs > 0) {
        const timespec wait{kSetting.forMs / 1000, (kSetting.forMs % 1000) * 1000000};
        timespec left = wait;
        while (nanosleep(&left, &left) != 0) {
        }
        recovered = true;
        return;
    }
    for (;;) pause();  // as a driver call that never returns
}

}  // namespace argon2::test_hang
