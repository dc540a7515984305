// A one-connection TCP peer on loopback whose behaviour is a function of the
// accepted socket: for the bytes a protocol library would hide.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

class RawPeer {
public:
    // With `everyConnection`, connections are accepted and served one after
    // the other until the peer is destroyed.
    explicit RawPeer(std::function<void(int fd)> behaviour, bool everyConnection = false);
    ~RawPeer();
    unsigned short port() const { return port_; }

private:
    int listenFd_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
};

// Reads until the end of an HTTP header block (or the peer closes).
std::string read_http_head(int fd);
// The reply that accepts the WebSocket handshake request `head`.
std::string ws_accept_reply(const std::string& head);
// Writes all of `data`.
void write_all(int fd, const std::string& data);

// A loopback listener that never accepts and whose backlog is full, so a
// client's connect hangs without an answer (the kernel drops its SYNs).
class FullBacklog {
public:
    FullBacklog();
    ~FullBacklog();
    unsigned short port() const { return port_; }

private:
    int listenFd_ = -1;
    std::vector<int> fillers_;
    unsigned short port_ = 0;
};

// A port on loopback that nothing listens on right now.
unsigned short free_port();

// Polls `condition` until it holds or the deadline passes.
bool wait_until(const std::function<bool()>& condition, int timeoutMs = 5000);
