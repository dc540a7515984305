// Tells a service manager how the miner is doing, through the notification
// socket it names in NOTIFY_SOCKET: ready once a GPU mines, a status line,
// and a heartbeat that proves the supervision loop still runs. Without that
// variable, or in a build without libsystemd, every call does nothing.
#pragma once

#include <string>

namespace quorlen::app {

class SystemdNotifier {
public:
    SystemdNotifier();

    // The first GPU mines: the service has started.
    void ready();
    // One line for `systemctl status`.
    void status(const std::string& text);
    // The supervision loop is alive; sent only when the manager watches.
    void heartbeat();
    // The stop has begun.
    void stopping();

    // Whether the manager asked for heartbeats (WatchdogSec=).
    bool watched() const { return watched_; }

private:
    void send(const std::string& message);

    bool watched_ = false;
    bool readySent_ = false;
};

}  // namespace quorlen::app
