#include "node/ws_transport.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorlen::node {

namespace {

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE on a
// connection the peer has closed; this one sends with MSG_NOSIGNAL, so a
// write to a vanished node fails with its error code like a plain one.
int sendNoSignal(BIO* b, const char* data, int len) {
    int fd = -1;
    BIO_get_fd(b, &fd);
    errno = 0;
    const ssize_t n = send(fd, data, size_t(len), MSG_NOSIGNAL);
    BIO_clear_retry_flags(b);
    if (n <= 0 && BIO_sock_should_retry(int(n))) BIO_set_retry_write(b);
    return int(n);
}

const BIO_METHOD* socketMethod() {
    static BIO_METHOD* const kMethod = [] {
        const BIO_METHOD* base = BIO_s_socket();
        BIO_METHOD* m = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
        BIO_meth_set_write(m, sendNoSignal);
        BIO_meth_set_read(m, BIO_meth_get_read(base));
        BIO_meth_set_puts(m, BIO_meth_get_puts(base));
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base));
        BIO_meth_set_create(m, BIO_meth_get_create(base));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(base));
        return m;
    }();
    return kMethod;
}

// The reason of the last TLS error queued on this thread, in words.
std::string queuedError() {
    const unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (!e) return "";
    const char* reason = ERR_reason_error_string(e);
    return reason ? reason : "error " + std::to_string(ERR_GET_REASON(e));
}

bool isAddressLiteral(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

TlsStore tls_store(const TlsTrust& trust) {
    if (!trust.caFile.empty()) return {trust.caFile, ""};
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    TlsStore store{file ? file : X509_get_default_cert_file(), dir ? dir : X509_get_default_cert_dir()};
    // A bundle that is not there is passed over, as the library's own
    // default paths pass it over, rather than failing every transfer.
    if (access(store.file.c_str(), R_OK) != 0) store.file.clear();
    return store;
}

std::string tls_ca_file_problem(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return "cannot open it: " + std::string(std::strerror(errno));
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ERR_clear_error();
    if (!cert) return "it holds no PEM certificate";
    X509_free(cert);
    return "";
}

ssize_t PlainTransport::send_some(const char* data, size_t len, short& waitEvents) {
    waitEvents = POLLOUT;
    return send(sock_, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t PlainTransport::recv_some(char* buf, size_t len, short& waitEvents) {
    waitEvents = POLLIN;
    return recv(sock_, buf, len, MSG_DONTWAIT);
}

std::unique_ptr<TlsTransport> TlsTransport::handshake(int sock, const std::string& host, const TlsTrust& trust,
                                                      const Wait& wait, std::string& problem) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        problem = "TLS: " + queuedError();
        return nullptr;
    }
    SSL* ssl = SSL_new(ctx);
    std::unique_ptr<TlsTransport> t(new TlsTransport(ctx, ssl));  // frees both from here on
    if (!ssl) {
        problem = "TLS: " + queuedError();
        return nullptr;
    }
    SSL_set_min_proto_version(ssl, TLS1_2_VERSION);
    // Renegotiation would let a write need a read; a session read on one
    // thread and written on another must not depend on that.
    SSL_set_options(ssl, SSL_OP_NO_RENEGOTIATION);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_clear_mode(ssl, SSL_MODE_AUTO_RETRY);
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    const TlsStore store = tls_store(trust);
    const bool trusted =
        (store.file.empty() && store.dir.empty()) ||
        SSL_CTX_load_verify_locations(ctx, store.file.empty() ? nullptr : store.file.c_str(),
                                      store.dir.empty() ? nullptr : store.dir.c_str()) == 1;
    if (!trusted) {
        problem = trust.caFile.empty() ? "TLS: cannot load the system's trusted certificates: " + queuedError()
                                       : "TLS: cannot load " + trust.caFile + ": " + queuedError();
        return nullptr;
    }
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (isAddressLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, host.c_str());
    }
    BIO* bio = BIO_new(socketMethod());
    if (!bio) {
        problem = "TLS: " + queuedError();
        return nullptr;
    }
    BIO_set_fd(bio, sock, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int r = SSL_connect(ssl);
        if (r == 1) return t;
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            if (wait(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) continue;
            problem = "TLS handshake not finished in time";
            return nullptr;
        }
        const long verified = SSL_get_verify_result(ssl);
        if (verified != X509_V_OK) {
            problem = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
        } else {
            const int savedErrno = errno;
            std::string why = queuedError();
            if (why.empty()) why = savedErrno ? std::strerror(savedErrno) : "the peer closed the connection";
            problem = "TLS handshake failed: " + why;
        }
        return nullptr;
    }
}

TlsTransport::~TlsTransport() {
    if (ssl_) SSL_free(ssl_);
    SSL_CTX_free(ctx_);
}

ssize_t TlsTransport::outcome(int result, short& waitEvents) {
    if (result > 0) return result;
    const int savedErrno = errno;
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            waitEvents = POLLIN;
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_WANT_WRITE:
            waitEvents = POLLOUT;
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;  // the peer's close_notify: the end of the stream
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            errno = savedErrno && savedErrno != EAGAIN ? savedErrno : ECONNRESET;
            return -1;
        default:
            ERR_clear_error();
            errno = EPROTO;
            return -1;
    }
}

ssize_t TlsTransport::send_some(const char* data, size_t len, short& waitEvents) {
    std::lock_guard<std::mutex> g(lock_);
    ERR_clear_error();
    errno = 0;
    return outcome(SSL_write(ssl_, data, int(std::min<size_t>(len, 1u << 30))), waitEvents);
}

ssize_t TlsTransport::recv_some(char* buf, size_t len, short& waitEvents) {
    std::lock_guard<std::mutex> g(lock_);
    ERR_clear_error();
    errno = 0;
    return outcome(SSL_read(ssl_, buf, int(std::min<size_t>(len, 1u << 30))), waitEvents);
}

}  // namespace quorlen::node
