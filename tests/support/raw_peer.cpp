#include "support/raw_peer.h"

#include "node/ws_plain.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <regex>
#include <stdexcept>

using namespace quorlen::node;

RawPeer::RawPeer(std::function<void(int)> behaviour, bool everyConnection) {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 4) != 0)
        throw std::runtime_error("RawPeer: cannot listen");
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, behaviour, everyConnection] {
        do {
            int fd = accept(listenFd_, nullptr, nullptr);
            if (fd < 0) return;
            behaviour(fd);
            ::close(fd);
        } while (everyConnection);
    });
}

RawPeer::~RawPeer() {
    shutdown(listenFd_, SHUT_RDWR);  // wakes an accept that never got a client
    ::close(listenFd_);
    thread_.join();
}

std::string read_http_head(int fd) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) head += c;
    return head;
}

std::string ws_accept_reply(const std::string& head) {
    std::smatch m;
    std::regex_search(head, m, std::regex("Sec-WebSocket-Key: ([^\r]*)\r\n"));
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " + ws_accept_for(m[1]) + "\r\n\r\n";
}

FullBacklog::FullBacklog() {
    auto loopback = [](unsigned short port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    };
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 0) != 0)
        throw std::runtime_error("FullBacklog: cannot listen");
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    // Fill the queue: connects that complete until one no longer does.
    for (int i = 0; i < 8; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in to = loopback(port_);
        connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
        fillers_.push_back(s);
        pollfd p{s, POLLOUT, 0};
        if (poll(&p, 1, 200) == 0) break;  // this one hangs: the queue is full
    }
}

FullBacklog::~FullBacklog() {
    for (int s : fillers_) ::close(s);
    ::close(listenFd_);
}

void write_all(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += size_t(n);
    }
}

bool wait_until(const std::function<bool()>& condition, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

unsigned short free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}
