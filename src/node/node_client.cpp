#include "node/node_client.h"

#include <curl/curl.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "block/hex.h"
#include "block/printable.h"
#include "node/http_url.h"
#include "node/node_reply.h"
#include "node/steady_ms.h"

namespace quorlen::node {

namespace {

// What one transfer collects.
struct Transfer {
    std::string* body;
    std::size_t cap;
    bool overflowed = false;
};

size_t wr_cb(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->body->size() + n > t->cap) {
        t->overflowed = true;
        return 0;  // libcurl ends the transfer with a write error
    }
    t->body->append(data, n);
    return n;
}

// Failures whose general text ("SSL peer certificate or SSH remote key was
// not OK") hides the reason the user needs.
bool tlsFailure(CURLcode rc) {
    return rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR || rc == CURLE_SSL_CACERT_BADFILE ||
           rc == CURLE_SSL_CERTPROBLEM;
}

}  // namespace

NodeClient::NodeClient(const std::string& baseUrl, const std::string& wsUrl, StopGrace stop,
                       std::shared_ptr<VerdictReporter> verdicts, TlsTrust trust)
    : base_url(baseUrl), ws_url(wsUrl), verdicts(std::move(verdicts)), stop_(std::move(stop)),
      trust_(std::move(trust)) {
    if (ws_url.empty()) return;
    ws = make_ws();
    if (ws->connect_url(ws_url)) {
        std::fprintf(stderr, "[ws] connected: %s\n", ws_url.c_str());
    } else {
        if (!stop_.over()) std::fputs(wsFailure("connect failed").c_str(), stderr);
        ws.reset();
    }
}

std::string NodeClient::wsFailure(const char* what) const {
    const std::string why = ws ? ws->last_problem() : std::string();
    return "[ws] " + std::string(what) + ": " + ws_url + (why.empty() ? "" : " (" + block::printable(why) + ")") + "\n";
}

NodeClient::~NodeClient() { ws.reset(); }

bool NodeClient::result(bool ok, const char* whyNot) {
    if (ok) lastError_.clear();
    else if (lastError_.empty()) lastError_ = whyNot;
    return ok;
}

std::unique_ptr<WsPlain> NodeClient::make_ws() const {
    if (!verdicts) return std::make_unique<WsPlain>(stop_, WsPlain::FrameHandler{}, trust_);
    // The reporter is shared, so it outlives every reader that calls it.
    return std::make_unique<WsPlain>(
        stop_, [reporter = verdicts](bool text, std::string_view payload) { reporter->on_frame(text, payload); },
        trust_);
}

bool NodeClient::perform(int& curlCode) {
    // libcurl's own loop looks at a transfer about once a second while the
    // node is silent; short waits here notice the end of a stop's grace at
    // once.
    CURL* c = curl.get();
    CURLM* m = curl.multi();
    curlCode = CURLE_FAILED_INIT;
    if (!m || curl_multi_add_handle(m, c) != CURLM_OK) return true;
    bool finished = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(m, &running) != CURLM_OK) break;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(m, &queued))
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) {
                curlCode = msg->data.result;
                finished = true;
            }
        if (finished || running == 0 || stop_.over()) break;
        const long long left = stop_.limit(steady_ms() + 100) - steady_ms();
        curl_multi_poll(m, nullptr, 0, int(left > 0 ? left : 0), nullptr);
    }
    curl_multi_remove_handle(m, c);  // ends a transfer still running
    return finished || !stop_.over();
}

bool NodeClient::fetch(const std::string& path, std::size_t cap, std::string& body) {
    lastError_.clear();
    cutShort_ = false;
    CURL* c = curl.get();
    if (!c) {
        lastError_ = "no HTTP handle";
        return false;
    }
    if (stop_.over()) {
        lastError_ = "stopping";
        cutShort_ = true;
        return false;
    }
    Transfer t{&body, cap, false};
    const std::string url = base_url + path;
    curl_easy_reset(c);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, wr_cb);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "quorlen-gpu-miner/1.0");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Only HTTP, whatever the base says; redirects stay off (the default).
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, kHttpProtocols);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, kHttpProtocols);
    // A node that announces more than the cap is refused before it sends.
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(cap));
    // The WebSocket's store, not the one libcurl was built with: a private
    // CA (or SSL_CERT_FILE) trusted on one channel is trusted on both.
    const TlsStore store = tls_store(trust_);
    curl_easy_setopt(c, CURLOPT_CAINFO, store.file.empty() ? nullptr : store.file.c_str());
    curl_easy_setopt(c, CURLOPT_CAPATH, store.dir.empty() ? nullptr : store.dir.c_str());
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    int result = CURLE_OK;
    const bool done = perform(result);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);  // the buffer ends with this call
    const CURLcode rc = done ? static_cast<CURLcode>(result) : CURLE_ABORTED_BY_CALLBACK;
    if (rc != CURLE_OK) {
        if (t.overflowed || rc == CURLE_FILESIZE_EXCEEDED) lastError_ = "reply larger than " + std::to_string(cap) + " bytes";
        else if (!done) lastError_ = "stopping";
        else if (tlsFailure(rc) && detail[0]) lastError_ = detail;  // names the certificate problem
        else lastError_ = curl_easy_strerror(rc);
        cutShort_ = !done;
        body.clear();
        body.shrink_to_fit();
        return false;
    }
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    if (code != 200) lastError_ = "HTTP status " + std::to_string(code);
    return code == 200;
}

bool NodeClient::read_height(std::uint64_t& height) {
    std::string body;
    return result(fetch("/height", kMaxSmallReply, body) && node_reply::height(body, height), "unreadable reply");
}

bool NodeClient::read_block(std::uint64_t n, nlohmann::json& block) {
    std::string body;
    return result(fetch("/block/" + std::to_string(n), kMaxLargeReply, body) && node_reply::block(body, block),
                  "unreadable reply");
}

bool NodeClient::read_diff(std::string& diff) {
    std::string body;
    return result(fetch("/diff", kMaxSmallReply, body) && node_reply::diff(body, diff), "unreadable reply");
}

bool NodeClient::read_mempool(nlohmann::json& mempool) {
    std::string body;
    return result(fetch("/mempool", kMaxLargeReply, body) && node_reply::mempool(body, mempool), "unreadable reply");
}

bool NodeClient::read_tip(BuiltOn& tip) {
    std::uint64_t height = 0;
    if (!read_height(height)) return false;
    tip.height = height;
    tip.prevHash.clear();
    if (height == 0) return true;
    nlohmann::json block;
    if (!read_block(height - 1, block) || !block.is_object()) return false;
    auto it = block.find("hash");
    if (it == block.end() || !it->is_string()) return false;
    tip.prevHash = it->get<std::string>();
    return true;
}

NodeClient::Admits NodeClient::admits(const BuiltOn* builtOn, const std::string& hash, std::string& why) {
    BuiltOn tip;
    if (!read_tip(tip)) return Admits::NoAnswer;
    if (builtOn && (tip.height != builtOn->height || tip.prevHash != builtOn->prevHash)) return Admits::OtherTip;
    if (hash.empty()) return Admits::Yes;
    std::string diff, target;
    if (!read_diff(diff) || !node_reply::target(diff, target).empty()) return Admits::NoAnswer;
    if (block::hex_at_most(hash, target)) return Admits::Yes;
    why = "its hash is above the target of " + base_url + " (" + target + ")";
    return Admits::AboveTarget;
}

void NodeClient::connection_replaced() const {
    if (verdicts) verdicts->connection_replaced();
}

bool NodeClient::send_block(const std::string& message, const std::string& hash) {
    if (!ws_connected()) {
        ws = make_ws();  // the old client, if any, joins its reader here
        if (ws->connect_url(ws_url)) {
            std::fprintf(stderr, "[ws] reconnected: %s\n", ws_url.c_str());
            connection_replaced();
        } else {
            if (!stop_.over()) std::fputs(wsFailure("reconnect failed").c_str(), stderr);
            ws.reset();
            return false;
        }
    }
    const bool named = verdicts && !hash.empty();
    // Named before the send: the node's answer may come before send returns.
    if (named) verdicts->block_sent(hash);
    bool sent = ws->send_frame(1, message);
    if (!sent) {
        if (named) verdicts->block_not_sent(hash);
        ws->close();
        if (ws->connect_url(ws_url)) {
            connection_replaced();
            if (named) verdicts->block_sent(hash);
            sent = ws->send_frame(1, message);
            if (!sent && named) verdicts->block_not_sent(hash);
        }
    }
    return sent;
}

}  // namespace quorlen::node
