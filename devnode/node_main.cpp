// quorlen-devnode: a small validating node for mining on one machine.
//
//   quorlen-devnode [--address A] [--http-port N] [--ws-port N] [--data FILE]
//                   [--block-seconds S] [--target HEX] [--ping-seconds S]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "chain/chain.h"
#include "net/servers.h"

namespace {

volatile std::sig_atomic_t g_quit = 0;
void onSignal(int) { g_quit = 1; }

struct Options {
    std::string address = "127.0.0.1";
    unsigned short httpPort = 8000;
    unsigned short wsPort = 6061;
    double pingSeconds = 20;
    ChainSettings chain;
};

const char* const kUsage =
    "quorlen-devnode: a validating development node\n"
    "  --address <ip>          listen address (default 127.0.0.1)\n"
    "  --http-port <N>         HTTP port (default 8000)\n"
    "  --ws-port <N>           WebSocket port (default 6061)\n"
    "  --data <file>           keep the chain in this file across restarts\n"
    "  --block-seconds <s>     block time the target is tuned toward (default 10)\n"
    "  --target <hex>          starting target (default 0fff...f, 64 digits)\n"
    "  --ping-seconds <s>      ping every client this often (default 20)\n";

double number(const std::string& option, const char* text) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0)) throw std::invalid_argument("bad value for " + option + ": " + text);
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) throw std::invalid_argument(a == "--help" ? "" : "unknown or incomplete option: " + a);
        const char* v = argv[++i];
        if (a == "--address") o.address = v;
        else if (a == "--http-port") o.httpPort = static_cast<unsigned short>(number(a, v));
        else if (a == "--ws-port") o.wsPort = static_cast<unsigned short>(number(a, v));
        else if (a == "--data") o.chain.dataFile = v;
        else if (a == "--block-seconds") o.chain.blockSeconds = number(a, v);
        else if (a == "--target") o.chain.initialTarget = v;
        else if (a == "--ping-seconds") o.pingSeconds = number(a, v);
        else throw std::invalid_argument("unknown option: " + a);
    }
    return o;
}

devnet::HttpReply json_reply(const nlohmann::json& doc) { return {200, doc.dump()}; }

devnet::HttpReply handle(Chain& chain, const std::string& method, const std::string& target, const std::string& body) {
    if (method == "GET" && target == "/height") return json_reply({{"height", chain.height()}});
    if (method == "GET" && target == "/diff") return json_reply({{"diff", chain.target()}});
    if (method == "GET" && target == "/mempool") return json_reply(chain.mempool());
    if (method == "GET" && target.rfind("/block/", 0) == 0) {
        const std::string n = target.substr(7);
        if (!n.empty() && n.find_first_not_of("0123456789") == std::string::npos && n.size() < 20)
            if (auto b = chain.block(std::stoull(n))) return json_reply(*b);
        return {404, "{\"error\":\"no such block\"}"};
    }
    if (method == "POST" && target == "/tx") {
        nlohmann::json tx;
        try {
            tx = nlohmann::json::parse(body);
        } catch (const std::exception&) {
            return {400, "{\"error\":\"not JSON\"}"};
        }
        if (auto why = chain.addTransaction(tx)) return {400, nlohmann::json{{"error", *why}}.dump()};
        std::fprintf(stderr, "[node] transaction added to the mempool\n");
        return json_reply({{"accepted", true}});
    }
    return {404, "{\"error\":\"not found\"}"};
}

void onMessage(Chain& chain, const std::shared_ptr<devnet::WsSession>& from, const std::string& text) {
    nlohmann::json event;
    try {
        event = nlohmann::json::parse(text);
    } catch (const std::exception&) {
        std::fprintf(stderr, "[node] ignored a message that is not JSON\n");
        return;
    }
    if (!event.is_object() || event.value("event", "") != "block" || !event.contains("data")) {
        std::fprintf(stderr, "[node] ignored a message that is not a block event\n");
        return;
    }
    Verdict v;
    try {
        v = chain.submit(event["data"]);
    } catch (const std::exception& e) {
        v = {false, std::string("node error: ") + e.what(), 0, ""};
    }
    if (v.accepted) {
        std::fprintf(stderr, "[node] accepted block %llu hash=%s\n", (unsigned long long)(v.height - 1), v.hash.c_str());
        from->send(nlohmann::json{{"event", "accepted"}, {"height", v.height - 1}, {"hash", v.hash}}.dump());
    } else {
        std::fprintf(stderr, "[node] rejected block: %s\n", v.reason.c_str());
        from->send(nlohmann::json{{"event", "rejected"}, {"reason", v.reason}}.dump());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    try {
        opt = parse(argc, argv);
    } catch (const std::invalid_argument& e) {
        if (*e.what()) std::fprintf(stderr, "%s\n", e.what());
        std::fputs(kUsage, stderr);
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        Chain chain(opt.chain);
        devnet::HttpServer http(opt.address, opt.httpPort,
                                [&](const std::string& m, const std::string& t, const std::string& b) {
                                    return handle(chain, m, t, b);
                                });
        devnet::WsCallbacks cb;
        cb.onMessage = [&](const auto& from, const std::string& text) { onMessage(chain, from, text); };
        devnet::WsServer ws(opt.address, opt.wsPort, cb);
        std::fprintf(stderr, "[node] height %llu, target %s; http://%s:%u ws://%s:%u\n",
                     (unsigned long long)chain.height(), chain.target().c_str(), opt.address.c_str(), http.port(),
                     opt.address.c_str(), ws.port());
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
