#include "node/ws_plain.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <vector>

#include "node/steady_ms.h"
#include "node/ws_url.h"

namespace quorlen::node {

namespace {

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

// How often a wait looks at the stop request.
constexpr int kSliceMs = 100;

enum class Wait { Ready, TimedOut, Stopped };

// Waits for `events` on `sock` until the deadline, in short slices so that
// the end of a stop's grace is noticed at once whatever the peer does.
Wait waitFor(int sock, short events, long long deadlineMs, const StopGrace& stop) {
    for (;;) {
        if (stop.over()) return Wait::Stopped;
        const long long left = stop.limit(deadlineMs) - steady_ms();
        if (left <= 0) return stop.over() ? Wait::Stopped : Wait::TimedOut;
        pollfd p{sock, events, 0};
        const int n = poll(&p, 1, int(std::min<long long>(left, kSliceMs)));
        if (n > 0) return Wait::Ready;  // ready, or an error that the next call reports
        if (n < 0 && errno != EINTR) return Wait::Ready;
    }
}

int waitErrno(Wait w) { return w == Wait::Stopped ? ECANCELED : ETIMEDOUT; }

bool sameLetters(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return i == a.size() && !b[i];
}

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") + 1 - a);
}

// The lines of a reply header, each without its line ending: servers end
// lines with CRLF or a bare LF, and some mix the two.
std::vector<std::string> headerLines(const std::string& header) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < header.size()) {
        size_t end = header.find('\n', from);
        if (end == std::string::npos) end = header.size();
        std::string line = header.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        from = end + 1;
    }
    return lines;
}

// Where a reply header ends (just past its blank line), or npos while it has
// not ended; as above, CRLF or a bare LF.
size_t replyHeaderEnd(const std::string& reply) {
    for (size_t from = 0, end; (end = reply.find('\n', from)) != std::string::npos; from = end + 1)
        if (end == from || (end == from + 1 && reply[from] == '\r')) return end + 1;
    return std::string::npos;
}

}  // namespace

std::string ws_handshake_request(const std::string& path, const std::string& host, const std::string& port,
                                 const std::string& key) {
    return "GET " + path + " HTTP/1.1\r\n" + "Host: " + host + ":" + port + "\r\n" +
           "Upgrade: websocket\r\n" + "Connection: Upgrade\r\n" + "Sec-WebSocket-Version: 13\r\n" +
           "Sec-WebSocket-Key: " + key + "\r\n" + "\r\n";
}

std::string ws_accept_for(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return base64(digest, sizeof digest);
}

std::string ws_handshake_status_problem(const std::string& header) {
    // "HTTP/<version> 101[ <reason>]": any version, the status code exactly.
    const std::vector<std::string> lines = headerLines(header);
    const std::string status = lines.empty() ? "" : lines.front();
    const size_t space = status.find(' ');
    const bool ok = status.rfind("HTTP/", 0) == 0 && space != std::string::npos &&
                    status.compare(space + 1, 3, "101") == 0 &&
                    (status.size() == space + 4 || status[space + 4] == ' ');
    return ok ? "" : "status line is not a 101: " + status.substr(0, 80);
}

std::string ws_handshake_accept_problem(const std::string& header, const std::string& expectedAccept) {
    const std::vector<std::string> lines = headerLines(header);
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const size_t colon = line.find(':');
        if (colon == std::string::npos || !sameLetters(line.substr(0, colon), "Sec-WebSocket-Accept")) continue;
        return trimmed(line.substr(colon + 1)) == expectedAccept ? "" : "a Sec-WebSocket-Accept that does not match the key";
    }
    return "no Sec-WebSocket-Accept";
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

}  // namespace quorlen::node

using namespace quorlen;
using namespace quorlen::node;

WsPlain::~WsPlain() { close(); }

// The reader's way out: under the send lock, so that no frame is being
// written to the socket while it is closed.
void WsPlain::dropSocket() {
    std::lock_guard<std::mutex> lock(sendLock_);
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
    std::lock_guard<std::mutex> lock(sendLock_);  // a pong may still be on its way out
    if (old >= 0) ::close(old);
    transport_.reset();
}

bool WsPlain::connectWithin(int sock, const void* addr, unsigned addrLen, long long deadlineMs) {
    const int flags = fcntl(sock, F_GETFL, 0);
    fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    bool ok = ::connect(sock, static_cast<const sockaddr*>(addr), addrLen) == 0;
    if (!ok && errno == EINPROGRESS && waitFor(sock, POLLOUT, deadlineMs, stop_) == Wait::Ready) {
        int err = 0;
        socklen_t len = sizeof err;
        ok = getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    fcntl(sock, F_SETFL, flags);  // the reader blocks in recv; sends wait by poll
    return ok;
}

bool WsPlain::handshake(int sock, const std::string& request, const std::string& expectedAccept,
                        long long deadlineMs, std::string& acceptProblem) {
    size_t sent = 0;
    short events = 0;
    while (sent < request.size()) {
        const ssize_t n = transport_->send_some(request.data() + sent, request.size() - sent, events);
        if (n >= 0) {
            sent += size_t(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (waitFor(sock, events, deadlineMs, stop_) != Wait::Ready) return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
    // The reply may come in pieces: read to its blank line, within the limit.
    std::string reply;
    size_t headEnd;
    while ((headEnd = replyHeaderEnd(reply)) == std::string::npos) {
        if (reply.size() > kMaxHandshakeReply) return false;
        // Read first, wait after: a TLS layer may hold bytes the socket
        // no longer shows.
        char buf[2048];
        const ssize_t n = transport_->recv_some(buf, sizeof buf, events);
        if (n == 0) return false;
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (n > 0) reply.append(buf, size_t(n));
        else if (n < 0 && errno != EINTR && waitFor(sock, events, deadlineMs, stop_) != Wait::Ready) return false;
    }
    if (headEnd > kMaxHandshakeReply) return false;  // the read that found the end may have passed the cap
    const std::string header = reply.substr(0, headEnd);
    if (!ws_handshake_status_problem(header).empty()) return false;
    acceptProblem = ws_handshake_accept_problem(header, expectedAccept);
    // Frames the node sent right behind its reply may share the last read;
    // drop them and the stream would be read from the middle of a frame.
    early_ = reply.substr(headEnd);
    return true;
}

bool WsPlain::connect_url(const std::string& url) {
    close();
    problem_.clear();
    WsUrl parts;
    if (!parse_ws_url(url, parts).empty() || stop_.over()) return false;
    if (!parts.path.empty()) request_path = parts.path;
    peer_host = parts.host;
    peer_port = parts.port;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(peer_host.c_str(), peer_port.c_str(), &hints, &found) != 0) return false;
    int sock = -1;
    const long long connectDeadline = steady_ms() + kTimeLimitMs;
    for (addrinfo* a = found; a && !stop_.over(); a = a->ai_next) {
        int s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s < 0) continue;
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connectWithin(s, a->ai_addr, a->ai_addrlen, connectDeadline)) {
            sock = s;
            break;
        }
        ::close(s);
    }
    freeaddrinfo(found);
    if (sock < 0) return false;
    fd.store(sock);
    // One time limit for the TLS and the WebSocket handshakes together.
    const long long handshakeDeadline = steady_ms() + kTimeLimitMs;
    if (parts.tls) {
        fcntl(sock, F_SETFL, fcntl(sock, F_GETFL, 0) | O_NONBLOCK);  // every TLS call returns at once
        transport_ = TlsTransport::handshake(
            sock, peer_host, trust_,
            [&](short events) { return waitFor(sock, events, handshakeDeadline, stop_) == Wait::Ready; }, problem_);
        if (!transport_) {
            close();
            return false;
        }
    } else {
        transport_ = std::make_unique<PlainTransport>(sock);
    }

    unsigned char keyBytes[16];
    for (unsigned char& b : keyBytes) b = static_cast<unsigned char>(std::rand() & 0xff);
    const std::string key = base64(keyBytes, 16);
    const std::string hostHeader = parts.ipv6 ? "[" + peer_host + "]" : peer_host;
    const std::string request = ws_handshake_request(request_path, hostHeader, peer_port, key);
    std::string acceptProblem;
    if (!handshake(sock, request, ws_accept_for(key), handshakeDeadline, acceptProblem)) {
        close();
        return false;
    }
    // The node answered 101 and will talk WebSocket; a reply that does not
    // prove it read the key is worth a word, not the lost blocks.
    if (!acceptProblem.empty())
        std::fprintf(stderr, "[ws] warning: %s: the handshake reply has %s; connected all the same\n", url.c_str(),
                     acceptProblem.c_str());
    stopped.exchange(false);
    reader = std::thread([this] { readerLoop(); });
    return true;
}

void WsPlain::attach(int connectedFd) {
    close();
    early_.clear();
    transport_ = std::make_unique<PlainTransport>(connectedFd);
    fd.store(connectedFd);
    stopped.exchange(false);
    reader = std::thread([this] { readerLoop(); });
}

bool WsPlain::send_frame(std::uint8_t opcode, const std::string& payload) { return writeFrame(opcode, payload, true); }

bool WsPlain::writeFrame(std::uint8_t opcode, const std::string& payload, bool report) {
    if (fd.load() < 0) return false;
    std::uint8_t mask[4];
    for (std::uint8_t& b : mask) b = static_cast<std::uint8_t>(std::rand() & 0xff);
    const std::string frame = ws_client_frame(opcode, payload, mask);

    const long long deadline = steady_ms() + kTimeLimitMs;
    int err = 0;
    // Polled rather than a timed wait: contention is rare (a pong meeting a
    // block), and a plain mutex is one every checker understands.
    std::unique_lock<std::mutex> lock(sendLock_, std::defer_lock);
    while (!lock.try_lock()) {
        if (stop_.over()) err = ECANCELED;
        else if (steady_ms() >= deadline) err = ETIMEDOUT;
        if (err) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Never a blocking send: a node that stops reading must not hold this
    // thread (or, through the lock, the other one) past the time limit.
    size_t sent = 0;
    while (!err && sent < frame.size()) {
        const int sock = fd.load();
        if (sock < 0) return false;
        short events = 0;
        const ssize_t n = transport_->send_some(frame.data() + sent, frame.size() - sent, events);
        if (n >= 0) {
            sent += size_t(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const Wait w = waitFor(sock, events, deadline, stop_);
            if (w != Wait::Ready) err = waitErrno(w);
        } else if (errno != EINTR) {
            err = errno;
        }
    }
    // A frame cut short by a stop is not a fault of the node's.
    if (err && report && err != ECANCELED) std::fprintf(stderr, "[ws] send error: %s\n", std::strerror(err));
    return !err;
}

bool WsPlain::readExactly(unsigned char* buf, size_t len) {
    size_t got = std::min(len, early_.size());
    std::memcpy(buf, early_.data(), got);
    early_.erase(0, got);
    while (got < len) {
        const int sock = fd.load();
        if (sock < 0) return false;
        short events = 0;
        const ssize_t n = transport_->recv_some(reinterpret_cast<char*>(buf) + got, len - got, events);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Woken by the data, or by close() shutting the socket down.
            pollfd p{sock, events, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += size_t(n);
    }
    return true;
}

void WsPlain::readerLoop() {
    std::vector<unsigned char> payload;
    while (!stopped.load() && fd.load() >= 0) {
        unsigned char head[2];
        if (!readExactly(head, 2)) break;
        std::uint64_t len = head[1] & 0x7f;
        if (len == 126 || len == 127) {
            unsigned char ext[8];
            const size_t extLen = len == 126 ? 2 : 8;
            if (!readExactly(ext, extLen)) break;
            len = 0;
            for (size_t i = 0; i < extLen; ++i) len = (len << 8) | ext[i];
        }
        unsigned char mask[4] = {0, 0, 0, 0};
        const bool masked = head[1] & 0x80;
        if (masked && !readExactly(mask, 4)) break;
        // A server never masks, and a control frame is whole and at most 125
        // bytes: anything else ends the connection as a protocol error (1002)
        // before a byte of its payload is held.
        if (masked || ((head[0] & 0x08) && (len > 125 || !(head[0] & 0x80)))) {
            writeFrame(8, std::string("\x03\xea", 2), false);
            break;
        }
        if (len > kMaxIncomingPayload) break;  // cannot be held: treat as a broken stream
        payload.resize(size_t(len));
        if (len && !readExactly(payload.data(), payload.size())) break;
        if (masked)
            for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= mask[i % 4];
        const int opcode = head[0] & 0x0f;
        // A pong that cannot be written in time leaves a frame half sent:
        // the stream is broken, so the connection ends here.
        if (opcode == 9) {
            if (!writeFrame(10, std::string(payload.begin(), payload.end()), false)) break;
        } else if (opcode == 8) {
            break;
        } else if (opcode <= 2 && onFrame_) {
            onFrame_(opcode == 1 && (head[0] & 0x80),
                     std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
        }
    }
    stopped.exchange(true);
    dropSocket();
}
