// quorlen-devnode: a small validating node for mining on one machine.
//
//   quorlen-devnode [--address A] [--http-port N] [--ws-port N] [--data FILE]
//                   [--block-seconds S] [--target HEX] [--ping-seconds S]
//                   [--max-connections N] [--handshake-seconds S]
//                   [--idle-seconds S] [--work-checks N]
//                   [--trust-stored-work] [--tls-cert FILE --tls-key FILE]
//                   [--help]
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "chain/bounded_json.h"
#include "chain/chain.h"
#include "chain/consensus.h"
#include "net/servers.h"
#include "net/token_bucket.h"

namespace {

volatile std::sig_atomic_t g_quit = 0;
void onSignal(int) { g_quit = 1; }

struct Options {
    std::string address = "127.0.0.1";
    unsigned short httpPort = 8000;
    unsigned short wsPort = 6061;
    double pingSeconds = 20;
    unsigned long workChecks = 10;  // Argon2 checks a second one client may cause
    quorlen::net::ServerLimits limits;
    quorlen::net::ServerTls tls;
    ChainSettings chain;
    bool help = false;
};

const char* const kUsage =
    "quorlen-devnode: a validating development node\n"
    "  --address <ip>             listen address (default 127.0.0.1)\n"
    "  --http-port <N>            HTTP port (default 8000; 0 picks a free one)\n"
    "  --ws-port <N>              WebSocket port (default 6061; 0 picks a free one)\n"
    "  --data <file>              keep the chain in this file across restarts\n"
    "  --block-seconds <s>        block time the target is tuned toward (default 10)\n"
    "  --target <hex>             starting target, 1 to 64 hex digits (default 0fff...f)\n"
    "  --ping-seconds <s>         ping every client this often, 0 for never (default 20)\n"
    "  --max-connections <N>      clients each server serves at once (default 64)\n"
    "  --handshake-seconds <s>    time a new client has to send its request (default 10)\n"
    "  --idle-seconds <s>         drop a WebSocket client silent this long, 0 for never (default 60)\n"
    "  --work-checks <N>          proof-of-work checks a second each client may cause (default 10)\n"
    "  --trust-stored-work        do not recompute the stored blocks' Argon2 hashes at start\n"
    "  --tls-cert <file>          serve HTTP and WebSocket over TLS with this PEM certificate chain\n"
    "  --tls-key <file>           and this PEM private key (both or neither)\n"
    "  --help                     this text\n";

// A number of seconds: decimal, finite, within (or at) the bounds.
double seconds(const std::string& option, const char* text, double least, bool leastAllowed) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno || !std::isfinite(v) || v < least || (v == least && !leastAllowed) ||
        v > 1e6)
        throw std::invalid_argument("bad value for " + option + ": \"" + text + "\" (seconds, " +
                                    (leastAllowed ? "0" : "more than 0") + " to 1000000)");
    return v;
}

// A whole number from `least` to `most`, digits only.
unsigned long whole(const std::string& option, const char* text, unsigned long least, unsigned long most) {
    const std::string s = text;
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(s) < least || std::stoul(s) > most)
        throw std::invalid_argument("bad value for " + option + ": \"" + s + "\" (a whole number, " +
                                    std::to_string(least) + " to " + std::to_string(most) + ")");
    return std::stoul(s);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            o.help = true;
            continue;
        }
        if (a == "--trust-stored-work") {
            o.chain.checkStoredWork = false;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument("unknown or incomplete option: " + a);
        const char* v = argv[++i];
        if (a == "--address") {
            unsigned char buf[16];
            if (inet_pton(AF_INET, v, buf) != 1 && inet_pton(AF_INET6, v, buf) != 1)
                throw std::invalid_argument(std::string("bad value for --address: \"") + v + "\" (an IP address)");
            o.address = v;
        } else if (a == "--http-port") o.httpPort = static_cast<unsigned short>(whole(a, v, 0, 65535));
        else if (a == "--ws-port") o.wsPort = static_cast<unsigned short>(whole(a, v, 0, 65535));
        else if (a == "--data") o.chain.dataFile = v;
        else if (a == "--tls-cert") o.tls.certFile = v;
        else if (a == "--tls-key") o.tls.keyFile = v;
        else if (a == "--block-seconds") o.chain.blockSeconds = seconds(a, v, 0, false);
        else if (a == "--ping-seconds") o.pingSeconds = seconds(a, v, 0, true);
        else if (a == "--handshake-seconds")
            o.limits.handshake = std::chrono::milliseconds(long(std::ceil(seconds(a, v, 0, false) * 1000)));
        else if (a == "--idle-seconds")
            o.limits.idle = std::chrono::milliseconds(long(std::ceil(seconds(a, v, 0, true) * 1000)));
        else if (a == "--max-connections") o.limits.maxConnections = whole(a, v, 1, 100000);
        else if (a == "--work-checks") o.workChecks = whole(a, v, 1, 100000);
        else if (a == "--target") {
            if (!consensus::is_target_text(v))
                throw std::invalid_argument(std::string("bad value for --target: \"") + v + "\" (1 to 64 hex digits)");
            o.chain.initialTarget = v;
        } else throw std::invalid_argument("unknown option: " + a);
    }
    if (o.chain.dataFile.empty() && !o.chain.checkStoredWork)
        throw std::invalid_argument("--trust-stored-work needs --data");
    if (o.tls.certFile.empty() != o.tls.keyFile.empty())
        throw std::invalid_argument("--tls-cert and --tls-key go together");
    return o;
}

void log(const std::string& line) { std::fprintf(stderr, "[node] %s\n", line.c_str()); }

// Rejections are logged at most 20 a second, so that a client sending
// nothing but bad messages cannot fill the disk with the log; how many were
// left out is logged with the first line of a later second.
class RejectionLog {
public:
    void line(const std::string& text) {
        std::lock_guard<std::mutex> g(lock_);
        const auto now = std::chrono::steady_clock::now();
        if (now - second_ >= std::chrono::seconds(1)) {
            if (skipped_) log(std::to_string(skipped_) + " more rejections not logged");
            second_ = now;
            logged_ = skipped_ = 0;
        }
        if (logged_ < 20) {
            ++logged_;
            log(text);
        } else {
            ++skipped_;
        }
    }

private:
    std::mutex lock_;
    std::chrono::steady_clock::time_point second_;
    unsigned logged_ = 0, skipped_ = 0;
};

RejectionLog g_rejections;

quorlen::net::HttpReply jsonReply(const nlohmann::json& doc, unsigned status = 200) { return {status, doc.dump()}; }
quorlen::net::HttpReply errorReply(unsigned status, const std::string& why) {
    return jsonReply({{"error", why}}, status);
}

quorlen::net::HttpReply handle(Chain& chain, const std::string& method, const std::string& target, const std::string& body) {
    const bool get = method == "GET";
    if (target == "/height") return get ? jsonReply({{"height", chain.height()}}) : errorReply(405, "use GET");
    if (target == "/diff") return get ? jsonReply({{"diff", chain.target()}}) : errorReply(405, "use GET");
    if (target == "/mempool") return get ? jsonReply(chain.mempool()) : errorReply(405, "use GET");
    if (target.rfind("/block/", 0) == 0) {
        if (!get) return errorReply(405, "use GET");
        const std::string n = target.substr(7);
        if (!n.empty() && n.find_first_not_of("0123456789") == std::string::npos && n.size() < 20)
            if (auto b = chain.block(std::stoull(n))) return jsonReply(*b);
        return errorReply(404, "no such block");
    }
    if (target == "/tx") {
        if (method != "POST") return errorReply(405, "use POST");
        std::string why;
        const auto tx = parse_bounded(body, &why);
        if (!tx) return errorReply(400, why);
        if (const std::string refused = chain.add_transaction(*tx); !refused.empty()) {
            const bool full = refused.rfind(kMempoolFull, 0) == 0;
            if (full) g_rejections.line("refused a transaction: " + refused);
            return errorReply(full ? 429 : 400, refused);
        }
        log("transaction added to the mempool");
        return jsonReply({{"accepted", true}});
    }
    return errorReply(404, "not found");
}

// The reason a message is not a block event, or "" (then `data` is the block).
std::string eventFault(const std::string& text, nlohmann::json& data) {
    std::string why;
    auto event = parse_bounded(text, &why);
    if (!event) return why;
    if (!event->is_object()) return "a message is a JSON object";
    const auto kind = event->find("event");
    if (kind == event->end()) return "missing event";
    if (!kind->is_string()) return "event is not a string";
    if (*kind != "block") return "unknown event";
    const auto block = event->find("data");
    if (block == event->end()) return "missing data";
    data = std::move(*block);
    return "";
}

// A rejection names the block by the hash it carries, as an acceptance does,
// when that is a hash at all: a miner with blocks out on several nodes can
// then tell which one this answers.
void reject(const std::shared_ptr<quorlen::net::WsSession>& from, const std::string& reason,
            const nlohmann::json* block = nullptr) {
    nlohmann::json verdict{{"event", "rejected"}, {"reason", reason}};
    if (block && block->is_object()) {
        const auto hash = block->find("hash");
        if (hash != block->end() && hash->is_string()) {
            const std::string& h = hash->get_ref<const std::string&>();
            if (!h.empty() && h.size() <= 64 && h.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
                verdict["hash"] = h;
        }
    }
    from->send(verdict.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// Each WebSocket client's allowance of Argon2 checks: the one costly step of
// a submission, which a client could otherwise have the node run at will
// with well-formed blocks that claim a wrong hash. Used on the server's I/O
// thread only.
class WorkAllowance {
public:
    explicit WorkAllowance(unsigned long perSecond) : perSecond_(perSecond) {}
    Chain::WorkGate gate(const quorlen::net::WsSession* client) {
        return [this, client] {
            auto it = buckets_.try_emplace(client, double(perSecond_), double(perSecond_)).first;
            if (it->second.take()) return std::string();
            return "too many proof-of-work checks: at most " + std::to_string(perSecond_) +
                   " a second per connection";
        };
    }
    void forget(const quorlen::net::WsSession* client) { buckets_.erase(client); }

private:
    unsigned long perSecond_;
    std::map<const quorlen::net::WsSession*, quorlen::net::TokenBucket> buckets_;
};

void onMessage(Chain& chain, WorkAllowance& allowance, const std::shared_ptr<quorlen::net::WsSession>& from,
               const std::string& text) {
    nlohmann::json block;
    if (std::string why = eventFault(text, block); !why.empty()) {
        g_rejections.line("rejected a message: " + why);
        return reject(from, "message: " + why);
    }
    Verdict v;
    try {
        v = chain.submit(block, allowance.gate(from.get()));
    } catch (const std::exception& e) {
        v = {false, std::string("node error: ") + e.what(), 0, ""};
    }
    if (v.accepted) {
        log("accepted block " + std::to_string(v.height - 1) + " hash=" + v.hash);
        from->send(nlohmann::json{{"event", "accepted"}, {"height", v.height - 1}, {"hash", v.hash}}.dump());
    } else {
        g_rejections.line("rejected block: " + v.reason);
        reject(from, v.reason, &block);
    }
}

// Nothing this process opens may take a standard stream's number: the data
// file opened as descriptor 2 would get the log lines between its blocks.
void openMissingStdFds() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
}

}  // namespace

int main(int argc, char** argv) {
    openMissingStdFds();
    Options opt;
    try {
        opt = parse(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "quorlen-devnode: %s (--help for usage)\n", e.what());
        return 1;
    }
    if (opt.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // Over a file-size limit a write fails like one to a full disk, and the
    // block is refused the same way, instead of the signal ending the node.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        Chain chain(opt.chain);
        if (chain.dropped_torn_bytes())
            log("cut a torn last line (" + std::to_string(chain.dropped_torn_bytes()) + " bytes) from " +
                opt.chain.dataFile);
        opt.limits.log = [](const std::string& line) { log(line); };
        quorlen::net::HttpServer http(opt.address, opt.httpPort,
                                [&](const std::string& m, const std::string& t, const std::string& b) {
                                    return handle(chain, m, t, b);
                                }, opt.limits, opt.tls);
        WorkAllowance allowance(opt.workChecks);
        quorlen::net::WsCallbacks cb;
        cb.onMessage = [&](const auto& from, const std::string& text) { onMessage(chain, allowance, from, text); };
        cb.onClose = [&](const auto& from) { allowance.forget(from.get()); };
        quorlen::net::WsServer ws(opt.address, opt.wsPort, cb, opt.limits, opt.tls);
        const bool tls = opt.tls.enabled();
        const std::string& host = opt.address;
        std::fprintf(stderr, "[node] height %llu, target %s; %s://%s:%u %s://%s:%u\n",
                     (unsigned long long)chain.height(), chain.target().c_str(), tls ? "https" : "http", host.c_str(),
                     http.port(), tls ? "wss" : "ws", host.c_str(), ws.port());
        auto nextPing = std::chrono::steady_clock::now();
        while (!g_quit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (opt.pingSeconds > 0 && std::chrono::steady_clock::now() >= nextPing) {
                for (const auto& s : ws.sessions()) s->ping("devnode");
                nextPing = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(static_cast<long>(opt.pingSeconds * 1000));
            }
        }
        std::fprintf(stderr, "[node] stopping at height %llu\n", (unsigned long long)chain.height());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[node] %s\n", e.what());
        return 2;
    }
    return 0;
}
