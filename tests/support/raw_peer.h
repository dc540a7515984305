// A one-connection TCP peer on loopback whose behaviour is a function of the
// accepted socket: for the bytes a protocol library would hide.
#pragma once

#include <functional>
#include <string>
#include <thread>

class RawPeer {
public:
    explicit RawPeer(std::function<void(int fd)> behaviour);
    ~RawPeer();
    unsigned short port() const { return port_; }

private:
    int listenFd_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
};

// Reads until the end of an HTTP header block (or the peer closes).
std::string read_http_head(int fd);
// Writes all of `data`.
void write_all(int fd, const std::string& data);

// A port on loopback that nothing listens on right now.
unsigned short free_port();

// Polls `condition` until it holds or the deadline passes.
bool wait_until(const std::function<bool()>& condition, int timeoutMs = 5000);
