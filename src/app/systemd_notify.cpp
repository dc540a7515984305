#include "app/systemd_notify.h"

#include <cstdint>

#ifdef QUORLEN_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace quorlen::app {

SystemdNotifier::SystemdNotifier() {
#ifdef QUORLEN_HAVE_SYSTEMD
    std::uint64_t usec = 0;
    watched_ = sd_watchdog_enabled(0, &usec) > 0;
#endif
}

void SystemdNotifier::send([[maybe_unused]] const std::string& message) {
#ifdef QUORLEN_HAVE_SYSTEMD
    // A manager that has gone away is no reason to stop mining: the result is
    // not needed.
    (void)sd_notify(0, message.c_str());
#endif
}

void SystemdNotifier::ready() {
    if (readySent_) return;
    readySent_ = true;
    send("READY=1");
}

void SystemdNotifier::status(const std::string& text) {
    std::string line;
    for (const char c : text) line += c == '\n' || c == '\r' ? ' ' : c;  // one line, whatever the text
    send("STATUS=" + line);
}

void SystemdNotifier::heartbeat() {
    if (watched_) send("WATCHDOG=1");
}

void SystemdNotifier::stopping() { send("STOPPING=1"); }

}  // namespace quorlen::app
