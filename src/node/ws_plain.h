// A minimal WebSocket client: connects to a "ws://" URL (or a "wss://" one,
// over TLS), sends masked frames, and keeps a reader thread that answers
// pings and notices when the node closes. The node's data frames go to an
// optional handler.
//
// Callers know it as WsPlain and it keeps that name, though it speaks TLS
// too: what is plain is its use of the protocol (whole frames sent, no
// extensions asked for), not the stream under it (see ws_transport.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <string>
#include <thread>

#include "node/stop_grace.h"
#include "node/ws_transport.h"

class WsPlain {
public:
    // Frames announcing more than this are not held: the reader ends instead.
    static constexpr std::uint64_t kMaxIncomingPayload = 16u << 20;
    // The longest any one network wait may take: the TCP connect, the
    // opening handshake, and each frame handed to a node that does not read.
    static constexpr int kTimeLimitMs = 10000;
    // A handshake reply header longer than this is not a WebSocket server's.
    static constexpr std::size_t kMaxHandshakeReply = 8192;

    // Called on the reader thread with every data frame the node sends;
    // `text` is true for a whole text frame (FIN set), false for binary
    // frames and fragments.
    using FrameHandler = std::function<void(bool text, std::string_view payload)>;

    // `stop` is looked at during every wait: once a stop is requested,
    // connects, handshakes and sends under way go on until its grace ends,
    // and none starts after that.
    // `trust` says whose certificates a "wss://" node may present.
    explicit WsPlain(quorlen::node::StopGrace stop = {}, FrameHandler onFrame = {}, quorlen::node::TlsTrust trust = {})
        : stop_(std::move(stop)), onFrame_(std::move(onFrame)), trust_(std::move(trust)) {}
    ~WsPlain();
    WsPlain(const WsPlain&) = delete;
    WsPlain& operator=(const WsPlain&) = delete;

    // Closes any connection, then connects and shakes hands. Prints nothing
    // but one warning line when the node's reply does not prove that it
    // read the key (a missing or wrong Sec-WebSocket-Accept).
    [[nodiscard]] bool connect_url(const std::string& url);
    // One whole frame, masked; false (and a "[ws] send error" line when the
    // socket refused it or the node did not take it in time) when it could
    // not be written.
    [[nodiscard]] bool send_frame(std::uint8_t opcode, const std::string& payload);
    // Marks the client stopped, closes the socket and joins the reader.
    void close();
    // Takes over a socket that is already connected and past the handshake
    // and starts the reader on it (for tests and fuzzing of the reader).
    void attach(int connectedFd);

    std::atomic<int> fd{-1};  // negative: no usable connection

    const std::string& host() const { return peer_host; }
    const std::string& port() const { return peer_port; }
    const std::string& path() const { return request_path; }
    // Why the last connect_url failed, when the reason is worth telling the
    // user (a TLS handshake or certificate refused); empty otherwise.
    const std::string& last_problem() const { return problem_; }

private:
    void readerLoop();
    // Exactly `len` bytes, from `early_` first, then the socket.
    bool readExactly(unsigned char* buf, size_t len);
    // The reader takes the socket away when the stream ends (exactly one
    // party shuts it down and closes it).
    void dropSocket();
    // Writes a frame under the send lock within the time limit; `report`
    // says whether a failure is worth a line (pongs fail silently).
    bool writeFrame(std::uint8_t opcode, const std::string& payload, bool report);
    // Connects `sock` to the address within the time limit.
    bool connectWithin(int sock, const void* addr, unsigned addrLen, long long deadlineMs);
    // Sends the request and reads the reply header (to its blank line); a
    // reply that accepts the upgrade without the right accept value is
    // taken, with what is wrong in `acceptProblem`.
    bool handshake(int sock, const std::string& request, const std::string& expectedAccept,
                   long long deadlineMs, std::string& acceptProblem);

    const quorlen::node::StopGrace stop_;
    std::string peer_host;
    std::string request_path = "/";
    std::string peer_port = "6061";
    std::atomic<bool> stopped{false};
    // Bytes that came in the same read as the handshake reply, after it:
    // the node's first frames, read before the socket. Owned by the reader
    // once it runs.
    std::string early_;
    std::thread reader;
    // Frames from the owner and pongs never interleave. Taken within the
    // time limit, so that a pong stuck on a node that does not read holds up
    // the owner no longer than that.
    std::mutex sendLock_;
    const FrameHandler onFrame_;
    const quorlen::node::TlsTrust trust_;
    // The byte stream over the socket: replaced only by the owner, while no
    // reader runs.
    std::unique_ptr<quorlen::node::WsTransport> transport_;
    std::string problem_;
};

namespace quorlen::node {

// The opening handshake request for a path, host, port and key.
std::string ws_handshake_request(const std::string& path, const std::string& host, const std::string& port,
                                 const std::string& key);

// The Sec-WebSocket-Accept value a server must answer a key with.
std::string ws_accept_for(const std::string& key);

// "" when the status line of a handshake reply header accepts the upgrade
// (status 101, whatever the HTTP version), otherwise why not.
[[nodiscard]] std::string ws_handshake_status_problem(const std::string& header);
// "" when the reply header (up to its blank line) carries the
// Sec-WebSocket-Accept value `expectedAccept`, otherwise what is wrong.
[[nodiscard]] std::string ws_handshake_accept_problem(const std::string& header, const std::string& expectedAccept);

// One client frame: FIN, the opcode, the mask bit and the masked payload.
std::string ws_client_frame(std::uint8_t opcode, const std::string& payload, const std::uint8_t mask[4]);

}  // namespace quorlen::node
