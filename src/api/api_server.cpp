#include "api/api_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <thread>

#include <nlohmann/json.hpp>

#include "api/metrics_text.h"
#include "api/summary_json.h"

namespace quorlen::api {

namespace {

quorlen::net::HttpReply reply(unsigned status, std::string body, std::string type) {
    quorlen::net::HttpReply r{status, std::move(body), std::move(type), {}};
    r.headers = {{"Server", "quorlen-gpu-miner"}, {"Cache-Control", "no-store"}};
    return r;
}

quorlen::net::HttpReply jsonError(unsigned status, const std::string& why) {
    return reply(status, nlohmann::json{{"error", why}}.dump(), "application/json");
}

// Compares without an early exit, so that the time taken does not tell how
// much of a guess was right. `secret` is never empty.
bool sameText(const std::string& given, const std::string& secret) {
    std::size_t diff = given.size() ^ secret.size();
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i % secret.size()]);
    return diff == 0;
}

bool loopbackLiteral(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

// Whether a Host header names this machine: a loopback address, "localhost"
// or the address bound, with or without a port. A browser sends the name
// it resolved, so a page whose name was rebound to 127.0.0.1 is told apart.
// Without the header (HTTP/1.0 tools) no browser is involved.
bool namesThisMachine(const std::string& header, const std::string& bound) {
    if (header.empty()) return true;
    std::string host = header, port;
    if (host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) return false;
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty() && port.front() != ':') return false;
        if (!port.empty()) port.erase(0, 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
        port = host.substr(colon + 1);
        host.erase(colon);
    }
    if (header.back() == ':' || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return strcasecmp(host.c_str(), "localhost") == 0 || host == bound || loopbackLiteral(host);
}

}  // namespace

quorlen::net::ServerLimits ApiServer::default_limits() {
    quorlen::net::ServerLimits limits;
    limits.maxConnections = 16;
    limits.handshake = std::chrono::seconds(5);
    limits.maxHeader = 8 << 10;
    limits.maxBody = 4 << 10;
    return limits;
}

ApiServer::ApiServer(const std::string& host, unsigned short port, std::string token, quorlen::net::ServerLimits limits)
    : token_(std::move(token)), host_(host), latest_(std::make_shared<RigSnapshot>()) {
    // Linux threads inherit their creator's nice value: the server's I/O
    // thread, started from a thread at the lowest priority, yields the CPU
    // to the miners whatever its clients do.
    std::exception_ptr failure;
    std::thread([&] {
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
        try {
            server_ = std::make_unique<quorlen::net::HttpServer>(
                host, port, quorlen::net::HttpRequestHandler([this](const quorlen::net::HttpRequest& r) { return handle(r); }),
                std::move(limits));
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) std::rethrow_exception(failure);
}

ApiServer::~ApiServer() { server_.reset(); }

unsigned short ApiServer::port() const { return server_->port(); }

void ApiServer::publish(RigSnapshot snapshot) {
    auto next = std::make_shared<const RigSnapshot>(std::move(snapshot));
    std::lock_guard<std::mutex> g(lock_);
    latest_.swap(next);
}

bool ApiServer::authorised(const std::string& header) const {
    if (token_.empty()) return true;
    // The scheme's name is case-insensitive; the token is not.
    const std::size_t scheme = 7;  // "Bearer "
    return header.size() > scheme && strncasecmp(header.c_str(), "bearer ", scheme) == 0 &&
           sameText(header.substr(scheme), token_);
}

quorlen::net::HttpReply ApiServer::handle(const quorlen::net::HttpRequest& request) {
    // Without a token, the loopback bind is the only guard: a web page must
    // not reach it through a name of its own that resolves to 127.0.0.1.
    if (token_.empty() && !namesThisMachine(request.host, host_))
        return jsonError(403, "the Host header does not name this machine");
    if (request.method != "GET") {
        quorlen::net::HttpReply r = jsonError(405, "only GET");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    const std::string path = request.target.substr(0, request.target.find('?'));
    // The page holds no figures (it fetches them with the token the user
    // gives it), so it is served to anyone.
    if (path == "/") return reply(200, dashboard_page(), "text/html; charset=utf-8");
    if (path != "/summary" && path != "/metrics" && path != "/health") return jsonError(404, "not found");
    if (!authorised(request.authorization)) {
        quorlen::net::HttpReply r = jsonError(401, "a valid \"Authorization: Bearer <token>\" header is needed");
        r.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"quorlen-gpu-miner\"");
        return r;
    }
    std::shared_ptr<const RigSnapshot> rig;
    {
        std::lock_guard<std::mutex> g(lock_);
        rig = latest_;
    }
    const double uptime = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (path == "/summary") return reply(200, summary_json(*rig, uptime), "application/json");
    if (path == "/metrics") return reply(200, metrics_text(*rig, uptime), "text/plain; version=0.0.4; charset=utf-8");
    const std::vector<std::string> problems = health_problems(*rig);
    nlohmann::json health = {{"status", problems.empty() ? "ok" : "failing"}};
    if (!problems.empty()) health["reasons"] = problems;
    if (const auto warnings = health_warnings(*rig); !warnings.empty()) health["warnings"] = warnings;
    return reply(problems.empty() ? 200 : 503, health.dump(), "application/json");
}

}  // namespace quorlen::api
