// The byte stream under the WebSocket client: the TCP socket itself, or TLS
// over it. The frame code above sees only whole-or-partial reads and writes
// that never block; waiting (with its time limits and stop requests) stays
// with the caller, which polls the socket for the events a call asks for.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace quorlen::node {

// Whom a TLS peer must prove to be.
struct TlsTrust {
    // A PEM bundle of the certificates to trust instead of the system's
    // store (a private CA, or a node's self-signed certificate); empty: the
    // system's store.
    std::string caFile;
};

// Where the certificates a channel trusts are read from: a bundle file and a
// hashed directory (either may be empty). Both channels use the same, so a
// node is trusted over https:// exactly when it is over wss://: the given CA
// file alone, or else the store the TLS library itself defaults to, with
// SSL_CERT_FILE and SSL_CERT_DIR honoured as it honours them.
struct TlsStore {
    std::string file, dir;
};
TlsStore tls_store(const TlsTrust& trust);

// "" when `path` is a readable PEM bundle holding at least one certificate,
// otherwise why not.
[[nodiscard]] std::string tls_ca_file_problem(const std::string& path);

class WsTransport {
public:
    virtual ~WsTransport() = default;
    // Bytes moved (> 0), 0 at the end of the stream, or -1 with errno set;
    // EAGAIN means: poll the socket for `waitEvents` and call again.
    virtual ssize_t send_some(const char* data, size_t len, short& waitEvents) = 0;
    virtual ssize_t recv_some(char* buf, size_t len, short& waitEvents) = 0;
};

// The socket as it is.
class PlainTransport : public WsTransport {
public:
    explicit PlainTransport(int sock) : sock_(sock) {}
    ssize_t send_some(const char* data, size_t len, short& waitEvents) override;
    ssize_t recv_some(char* buf, size_t len, short& waitEvents) override;

private:
    int sock_;
};

// TLS over a connected, non-blocking socket, the peer's certificate checked
// against the trust and the host name. One TLS session may be read by one
// thread while another writes: every call into it is made under a lock.
class TlsTransport : public WsTransport {
public:
    // Waits for the events on the socket within the caller's limits; false
    // when the time is up or a stop came first.
    using Wait = std::function<bool(short events)>;

    // Shakes hands as a client of `host` (SNI, and the name or address the
    // certificate must carry). Null with the reason in `problem` when the
    // handshake failed, timed out or the certificate was not trusted.
    static std::unique_ptr<TlsTransport> handshake(int sock, const std::string& host, const TlsTrust& trust,
                                                   const Wait& wait, std::string& problem);
    ~TlsTransport() override;
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    ssize_t send_some(const char* data, size_t len, short& waitEvents) override;
    ssize_t recv_some(char* buf, size_t len, short& waitEvents) override;

private:
    TlsTransport(ssl_ctx_st* ctx, ssl_st* ssl) : ctx_(ctx), ssl_(ssl) {}
    // Maps the result of one TLS call to the transport's convention.
    ssize_t outcome(int result, short& waitEvents);

    ssl_ctx_st* ctx_;
    ssl_st* ssl_;
    std::mutex lock_;
};

}  // namespace quorlen::node
