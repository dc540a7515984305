// The WebSocket reader on arbitrary incoming bytes: no crash, nothing
// unbounded, every ping before the stream ends is answered by a pong with
// the same payload, in order, and a frame the protocol forbids (masked, or
// a control frame over 125 bytes or in fragments) ends it with a close
// frame carrying 1002.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "node/ws_plain.h"

using namespace quorlen::node;

namespace {

struct Frame {
    int opcode;
    std::string payload;
};

// The frames a correct reader sends back, up to the end of what it can read.
std::vector<Frame> expectedReplies(const std::uint8_t* p, std::size_t n) {
    std::vector<Frame> replies;
    std::size_t at = 0;
    auto need = [&](std::size_t k) { return at + k <= n; };
    while (need(2)) {
        const int opcode = p[at] & 0x0f;
        const bool fin = p[at] & 0x80;
        const bool masked = p[at + 1] & 0x80;
        std::uint64_t len = p[at + 1] & 0x7f;
        at += 2;
        if (len >= 126) {
            const std::size_t ext = len == 126 ? 2 : 8;
            if (!need(ext)) break;
            len = 0;
            for (std::size_t i = 0; i < ext; ++i) len = len << 8 | p[at + i];
            at += ext;
        }
        std::uint8_t mask[4] = {0, 0, 0, 0};
        if (masked) {
            if (!need(4)) break;
            for (int i = 0; i < 4; ++i) mask[i] = p[at + i];
            at += 4;
        }
        if (masked || ((opcode & 8) && (len > 125 || !fin))) {
            replies.push_back({8, std::string("\x03\xea", 2)});
            break;
        }
        if (len > WsPlain::kMaxIncomingPayload || !need(std::size_t(len))) break;
        std::string payload(reinterpret_cast<const char*>(p + at), std::size_t(len));
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = char(payload[i] ^ mask[i % 4]);
        at += std::size_t(len);
        if (opcode == 9) replies.push_back({10, payload});
        if (opcode == 8) break;
    }
    return replies;
}

// Unmasks the client's frames.
std::vector<Frame> clientFrames(const std::string& bytes) {
    std::vector<Frame> frames;
    std::size_t at = 0;
    while (at + 2 <= bytes.size()) {
        const auto b = [&](std::size_t i) { return std::uint8_t(bytes[i]); };
        const int opcode = b(at) & 0x0f;
        std::uint64_t len = b(at + 1) & 0x7f;
        at += 2;
        if (len >= 126) {
            const std::size_t ext = len == 126 ? 2 : 8;
            len = 0;
            for (std::size_t i = 0; i < ext; ++i) len = len << 8 | b(at + i);
            at += ext;
        }
        std::uint8_t mask[4];
        for (int i = 0; i < 4; ++i) mask[i] = b(at + i);
        at += 4;
        std::string payload = bytes.substr(at, std::size_t(len));
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = char(payload[i] ^ mask[i % 4]);
        at += std::size_t(len);
        frames.push_back({opcode, payload});
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    WsPlain ws;
    ws.attach(pair[0]);
    std::thread writer([&] {
        std::size_t sent = 0;
        while (sent < size) {
            ssize_t n = send(pair[1], data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += std::size_t(n);
        }
        shutdown(pair[1], SHUT_WR);  // the node's side of the stream ends here
    });
    std::string back;
    char buf[4096];
    for (ssize_t n; (n = recv(pair[1], buf, sizeof buf, 0)) > 0;) back.append(buf, std::size_t(n));
    writer.join();
    ws.close();
    ::close(pair[1]);

    const std::vector<Frame> replies = expectedReplies(data, size);
    const std::vector<Frame> frames = clientFrames(back);
    if (frames.size() != replies.size()) std::abort();
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (frames[i].opcode != replies[i].opcode || frames[i].payload != replies[i].payload) std::abort();
    return 0;
}
