#include "node/node_api.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "block/canonical.h"
#include "block/hex.h"
#include "block/json_depth.h"
#include "block/printable.h"
#include "node/http_url.h"

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

CurlHandle::CurlHandle() {
    curl_global_init(CURL_GLOBAL_ALL);
    handle_ = curl_easy_init();
    multi_ = curl_multi_init();
}

CurlHandle::~CurlHandle() {
    if (multi_) curl_multi_cleanup(multi_);
    if (handle_) curl_easy_cleanup(handle_);
    curl_global_cleanup();
}

NodeApi::NodeApi(const std::string& baseUrl, const std::string& wsUrl, StopGrace stop,
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

std::string NodeApi::wsFailure(const char* what) const {
    const std::string why = ws ? ws->last_problem() : std::string();
    return "[ws] " + std::string(what) + ": " + ws_url + (why.empty() ? "" : " (" + quorlen::block::printable(why) + ")") + "\n";
}

NodeApi::~NodeApi() { ws.reset(); }

bool NodeApi::result(bool ok, const char* whyNot) {
    if (ok) lastError_.clear();
    else if (lastError_.empty()) lastError_ = whyNot;
    return ok;
}

std::unique_ptr<WsPlain> NodeApi::make_ws() const {
    if (!verdicts) return std::make_unique<WsPlain>(stop_, WsPlain::FrameHandler{}, trust_);
    // The reporter is shared, so it outlives every reader that calls it.
    return std::make_unique<WsPlain>(
        stop_, [reporter = verdicts](bool text, std::string_view payload) { reporter->on_frame(text, payload); },
        trust_);
}

bool NodeApi::perform(int& curlCode) {
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
        const long long left = stop_.limit(StopGrace::now_ms() + 100) - StopGrace::now_ms();
        curl_multi_poll(m, nullptr, 0, int(left > 0 ? left : 0), nullptr);
    }
    curl_multi_remove_handle(m, c);  // ends a transfer still running
    return finished || !stop_.over();
}

bool NodeApi::fetch(const std::string& path, std::size_t cap, std::string& body) {
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

bool NodeApi::read_height(std::uint64_t& height) {
    std::string body;
    return result(fetch("/height", kMaxSmallReply, body) && node_reply::height(body, height), "unreadable reply");
}

bool NodeApi::read_block(std::uint64_t n, nlohmann::json& block) {
    std::string body;
    return result(fetch("/block/" + std::to_string(n), kMaxLargeReply, body) && node_reply::block(body, block),
                  "unreadable reply");
}

bool NodeApi::read_diff(std::string& diff) {
    std::string body;
    return result(fetch("/diff", kMaxSmallReply, body) && node_reply::diff(body, diff), "unreadable reply");
}

bool NodeApi::read_mempool(nlohmann::json& mempool) {
    std::string body;
    return result(fetch("/mempool", kMaxLargeReply, body) && node_reply::mempool(body, mempool), "unreadable reply");
}

bool NodeApi::read_tip(BuiltOn& tip) {
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

template <class Read>
bool NodeApi::on_serving(Read read) {
    if (!backup_ || !failover_.on_backup()) return read(*this);
    const bool ok = read(*backup_);
    lastError_ = backup_->lastError_;
    cutShort_ = backup_->cutShort_;
    return ok;
}

// Every refresh reads the height once: its outcome is the refresh's, and the
// moment to ask the primary again while the backup serves.
bool NodeApi::getBlockHeight(std::uint64_t& height) {
    if (!backup_) return read_height(height);
    const long long now = StopGrace::now_ms();
    if (failover_.probe_due(now)) {
        std::uint64_t probed = 0;
        const bool answered = read_height(probed);
        if (!cutShort_ && failover_.probe(answered, now)) switch_node(false, "it answers again");
    }
    const bool onBackup = failover_.on_backup();
    const bool ok = on_serving([&](NodeApi& n) { return n.read_height(height); });
    if (cutShort_ || !failover_.refresh(ok)) return ok;
    // Three in a row: the other node serves from now on, if it answers.
    const std::string why = lastError_;
    std::uint64_t probed = 0;
    NodeApi& other = onBackup ? *this : *backup_;
    if (!stop_.over() && other.read_height(probed))
        switch_node(!onBackup, std::to_string(Failover::kFailedRefreshes) + " refreshes in a row failed: " + why);
    lastError_ = why;  // this read's own reason, not the other node's
    cutShort_ = false;
    return false;
}

bool NodeApi::getBlock(std::uint64_t n, nlohmann::json& block) {
    return on_serving([&](NodeApi& node) { return node.read_block(n, block); });
}

bool NodeApi::getDiff(std::string& diff) {
    return on_serving([&](NodeApi& node) { return node.read_diff(diff); });
}

void NodeApi::getMempool(nlohmann::json& mempool) {
    on_serving([&](NodeApi& node) { return node.read_mempool(mempool); });
}

void NodeApi::add_backup(std::unique_ptr<NodeApi> backup, FailoverTimes times) {
    if (backup && verdicts && backup->verdicts == verdicts)
        throw std::invalid_argument("the backup node needs a verdict reporter of its own");
    backup_ = std::move(backup);
    failover_ = Failover(times);
}

void NodeApi::switch_node(bool toBackup, const std::string& why) {
    if (toBackup) failover_.to_backup(StopGrace::now_ms());
    else failover_.to_primary();
    onBackup_.store(failover_.on_backup());
    switches_.store(failover_.switches());
    const NodeApi& to = serving();
    std::fprintf(stderr, "\n[node] switched %s node: %s %s (%s)\n", toBackup ? "to the backup" : "back to the primary",
                 to.base_url.c_str(), to.ws_url.c_str(), quorlen::block::printable(why).c_str());
}

NodeApi::Admits NodeApi::admits(const BuiltOn* builtOn, const std::string& hash, std::string& why) {
    BuiltOn tip;
    if (!read_tip(tip)) return Admits::NoAnswer;
    if (builtOn && (tip.height != builtOn->height || tip.prevHash != builtOn->prevHash)) return Admits::OtherTip;
    if (hash.empty()) return Admits::Yes;
    std::string diff, target;
    if (!read_diff(diff) || !node_reply::target(diff, target).empty()) return Admits::NoAnswer;
    if (quorlen::block::hex_at_most(hash, target)) return Admits::Yes;
    why = "its hash is above the target of " + base_url + " (" + target + ")";
    return Admits::AboveTarget;
}

bool NodeApi::send_block_event(const std::string& message, const std::string& hash, const BuiltOn* builtOn) {
    lastBlockStale_ = false;
    lastBlockRefusal_.clear();
    if (!backup_) return send_here(message, hash);
    const bool onBackup = failover_.on_backup();
    NodeApi& here = serving();
    NodeApi& there = onBackup ? *this : *backup_;
    bool sent = false;
    Admits hereAdmits = Admits::Yes;
    std::string whyHere, whyThere;
    if (!builtOn || builtOn->node == switches()) {
        sent = here.send_here(message, hash);
    } else {
        // Found on what the other node showed: it goes out here only if this
        // node's tip and target admit it.
        hereAdmits = here.admits(builtOn, hash, whyHere);
        if (hereAdmits == Admits::Yes) sent = here.send_here(message, hash);
    }
    if (sent || stop_.over()) return sent;
    // The other node gets it if it answers, on its own tip and within its
    // own target; when this one failed, it serves from now on.
    const bool hereDeclined = hereAdmits == Admits::OtherTip || hereAdmits == Admits::AboveTarget;
    const Admits thereAdmits = there.admits(builtOn, hash, whyThere);
    if (thereAdmits == Admits::NoAnswer) {
        lastBlockStale_ = hereAdmits == Admits::OtherTip;
        if (hereAdmits == Admits::AboveTarget) lastBlockRefusal_ = whyHere;
        return false;
    }
    if (!hereDeclined)
        switch_node(!onBackup, std::string("a block could not be sent to the ") + (onBackup ? "backup" : "primary"));
    if (thereAdmits == Admits::OtherTip) {
        lastBlockStale_ = true;
        return false;
    }
    if (thereAdmits == Admits::AboveTarget) {
        lastBlockRefusal_ = whyThere;
        return false;
    }
    return there.send_here(message, hash);
}

void NodeApi::connection_replaced() const {
    if (verdicts) verdicts->connection_replaced();
}

bool NodeApi::send_here(const std::string& message, const std::string& hash) {
    if (!(ws && ws->fd.load() >= 0)) {  // this node's own connection, whoever serves
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

namespace node_reply {

using nlohmann::json;

namespace {

// A height cannot be negative: a node that says so is not read at all,
// rather than read as 2^64 - 1 and mined on with a zero reward.
bool negative(const json& v) { return v.is_number() && !v.is_number_unsigned() && v.get<double>() < 0; }

}  // namespace

bool height(const std::string& body, std::uint64_t& height) {
    try {
        const json doc = quorlen::block::parse_untrusted(body);
        if (doc.is_object()) {
            auto it = doc.find("height");
            if (it == doc.end()) return false;
            if (negative(*it)) {
                height = 0;
                return false;
            }
            height = quorlen::block::canonical::as_unsigned(*it);  // throws for a non-number: plain text then
            return true;
        }
        if (doc.is_number_integer()) {
            if (negative(doc)) {
                height = 0;
                return false;
            }
            height = quorlen::block::canonical::as_unsigned(doc);
            return true;
        }
        return false;
    } catch (...) {
    }
    const size_t first = body.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && body[first] == '-') {
        height = 0;
        return false;
    }
    height = std::strtoull(body.c_str(), nullptr, 10);
    return height != 0;
}

bool block(const std::string& body, json& block) {
    try {
        block = quorlen::block::parse_untrusted(body);
        return true;
    } catch (...) {
        return false;
    }
}

bool diff(const std::string& body, std::string& diff) {
    try {
        const json doc = quorlen::block::parse_untrusted(body);
        if (!doc.is_object()) return false;
        auto it = doc.find("diff");
        if (it == doc.end()) return false;
        if (it->is_string()) {
            diff = it->get<std::string>();
            return true;
        }
    } catch (...) {
    }
    size_t end = body.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(body[end - 1]))) --end;
    if (end == 0) return false;
    diff = body.substr(0, end);
    return true;
}

std::string target(const std::string& diff, std::string& target) {
    std::string normalised = norm_hex_nopad_lower(diff);
    std::size_t digits = 0;
    for (char c : normalised) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isxdigit(u)) ++digits;
        else if (!std::isspace(u)) return "target holds characters that are neither hex digits nor blanks";
    }
    if (digits > 64) return "target of " + std::to_string(digits) + " hex digits (at most 64)";
    // A blank beside a digit makes a pair of one digit: read so, fewer digits
    // can still make a number wider than a hash.
    const std::vector<unsigned char> bytes = hexToBytes(normalised);
    std::size_t first = 0;
    while (first < bytes.size() && bytes[first] == 0) ++first;
    if (bytes.size() - first > 32) return "target wider than 32 bytes once read pair by pair";
    target = std::move(normalised);
    return "";
}

bool mempool(const std::string& body, json& mempool) {
    try {
        json doc;
        if (quorlen::block::json_text_depth(body) <= quorlen::block::kMaxJsonDepth) {
            doc = json::parse(body);
        } else {
            // Too deep as a whole: read entry by entry, so that one entry
            // nested too deeply (never parsed, kept as a discarded value) does
            // not cost the others.
            std::vector<std::string_view> entries;
            if (!quorlen::block::split_json_array(body, entries)) return false;
            doc = json::array();
            for (std::string_view e : entries)
                doc.push_back(quorlen::block::json_text_depth(e) > kMaxEntryDepth ? json(json::value_t::discarded) : json::parse(e));
        }
        mempool = doc.is_array() ? std::move(doc) : json::array();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace node_reply
