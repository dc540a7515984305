#include "node/ws_plain.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

namespace {

// How long the node may take to answer the opening handshake. Without a
// limit a node that accepts and stays silent would hang the caller forever.
constexpr int kHandshakeTimeoutSeconds = 10;

std::string base64(const unsigned char* data, size_t len) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        unsigned v = unsigned(data[i]) << 16;
        if (i + 1 < len) v |= unsigned(data[i + 1]) << 8;
        if (i + 2 < len) v |= data[i + 2];
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < len ? table[(v >> 6) & 63] : '=';
        out += i + 2 < len ? table[v & 63] : '=';
    }
    return out;
}

void setTimeout(int fd, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

std::string ws_handshake_request(const std::string& path, const std::string& host, const std::string& port,
                                 const std::string& key) {
    return "GET " + path + " HTTP/1.1\r\n" + "Host: " + host + ":" + port + "\r\n" +
           "Upgrade: websocket\r\n" + "Connection: Upgrade\r\n" + "Sec-WebSocket-Version: 13\r\n" +
           "Sec-WebSocket-Key: " + key + "\r\n" + "\r\n";
}

std::string ws_client_frame(std::uint8_t opcode, const std::string& payload, const std::uint8_t mask[4]) {
    const std::uint64_t n = payload.size();
    std::string frame;
    frame.reserve(14 + n);
    frame.push_back(char(0x80 | (opcode & 0x0f)));
    if (n <= 125) {
        frame.push_back(char(0x80 | n));
    } else if (n <= 0xffff) {
        frame.push_back(char(0x80 | 126));
        frame.push_back(char(n >> 8));
        frame.push_back(char(n & 0xff));
    } else {
        frame.push_back(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(char((n >> shift) & 0xff));
    }
    frame.append(reinterpret_cast<const char*>(mask), 4);
    const size_t start = frame.size();
    frame += payload;
    for (size_t i = 0; i < n; ++i) frame[start + i] = char(frame[start + i] ^ mask[i % 4]);
    return frame;
}

WsPlain::~WsPlain() { close(); }

// The reader's way out: under the send lock, so that no frame is being
// written to the socket while it is closed.
void WsPlain::drop_socket() {
    std::lock_guard<std::mutex> lock(sendLock);
    int old = fd.exchange(-1);
    if (old >= 0) {
        shutdown(old, SHUT_RDWR);
        ::close(old);
    }
}

// The owner's way out. The socket is shut down at once (which wakes a reader
// blocked in recv) but closed only after the reader has been joined: a closed
// descriptor's number can be handed out again at once, and the reader must
// never read from a socket that is not its own.
void WsPlain::close() {
    stopped.exchange(true);
    const int old = fd.exchange(-1);
    if (old >= 0) shutdown(old, SHUT_RDWR);
    if (reader.joinable()) reader.join();
    if (old >= 0) {
        std::lock_guard<std::mutex> lock(sendLock);  // a pong may still be on its way out
        ::close(old);
    }
}

bool WsPlain::connect_url(const std::string& url) {
    close();
    const std::string scheme = "ws://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        request_path = rest.substr(slash);
        rest.erase(slash);
    }
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        peer_host = rest.substr(0, colon);
        peer_port = rest.substr(colon + 1);
    } else {
        peer_host = rest;
        peer_port = "6061";
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(peer_host.c_str(), peer_port.c_str(), &hints, &found) != 0) return false;
    int sock = -1;
    for (addrinfo* a = found; a; a = a->ai_next) {
        int s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s < 0) continue;
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            sock = s;
            break;
        }
        ::close(s);
    }
    freeaddrinfo(found);
    if (sock < 0) return false;
    fd.store(sock);

    unsigned char keyBytes[16];
    for (unsigned char& b : keyBytes) b = static_cast<unsigned char>(std::rand() & 0xff);
    const std::string request = ws_handshake_request(request_path, peer_host, peer_port, base64(keyBytes, 16));

    setTimeout(sock, kHandshakeTimeoutSeconds);
    if (send(sock, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        close();
        return false;
    }
    char buf[2048];
    ssize_t n = recv(sock, buf, sizeof buf, 0);
    const std::string reply = n > 0 ? std::string(buf, size_t(n)) : std::string();
    if (reply.find(" 101 ") == std::string::npos) {
        close();
        return false;
    }
    setTimeout(sock, 0);  // the reader waits as long as the connection lives
    // Frames the node sent right behind its reply may share this read; drop
    // them and the stream would be read from the middle of a frame.
    const size_t headEnd = reply.find("\r\n\r\n");
    early = headEnd == std::string::npos ? std::string() : reply.substr(headEnd + 4);

    stopped.exchange(false);
    reader = std::thread([this] { reader_loop(); });
    return true;
}

void WsPlain::attach(int connectedFd) {
    close();
    early.clear();
    fd.store(connectedFd);
    stopped.exchange(false);
    reader = std::thread([this] { reader_loop(); });
}

bool WsPlain::send_frame(std::uint8_t opcode, const std::string& payload) {
    if (fd.load() < 0) return false;
    std::uint8_t mask[4];
    for (std::uint8_t& b : mask) b = static_cast<std::uint8_t>(std::rand() & 0xff);
    const std::string frame = ws_client_frame(opcode, payload, mask);

    std::lock_guard<std::mutex> lock(sendLock);
    size_t sent = 0;
    while (sent < frame.size()) {
        const int sock = fd.load();
        if (sock < 0) return false;
        ssize_t n = send(sock, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::fprintf(stderr, "[ws] send error: %s\n", std::strerror(errno));
            return false;
        }
        sent += size_t(n);
    }
    return true;
}

bool WsPlain::read_exactly(unsigned char* buf, size_t len) {
    size_t got = std::min(len, early.size());
    std::memcpy(buf, early.data(), got);
    early.erase(0, got);
    while (got < len) {
        ssize_t n = recv(fd.load(), buf + got, len - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += size_t(n);
    }
    return true;
}

void WsPlain::reader_loop() {
    std::vector<unsigned char> payload;
    while (!stopped.load() && fd.load() >= 0) {
        unsigned char head[2];
        if (!read_exactly(head, 2)) break;
        std::uint64_t len = head[1] & 0x7f;
        if (len == 126 || len == 127) {
            unsigned char ext[8];
            const size_t extLen = len == 126 ? 2 : 8;
            if (!read_exactly(ext, extLen)) break;
            len = 0;
            for (size_t i = 0; i < extLen; ++i) len = (len << 8) | ext[i];
        }
        unsigned char mask[4] = {0, 0, 0, 0};
        const bool masked = head[1] & 0x80;
        if (masked && !read_exactly(mask, 4)) break;
        if (len > kMaxIncomingPayload) break;  // cannot be held: treat as a broken stream
        payload.resize(size_t(len));
        if (len && !read_exactly(payload.data(), payload.size())) break;
        if (masked)
            for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= mask[i % 4];
        const int opcode = head[0] & 0x0f;
        if (opcode == 9) send_frame(10, std::string(payload.begin(), payload.end()));
        else if (opcode == 8) break;
        else if (opcode <= 2 && on_frame)
            on_frame(opcode == 1 && (head[0] & 0x80),
                     std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
    }
    stopped.exchange(true);
    drop_socket();
}
