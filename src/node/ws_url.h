// The parts of a "ws://" or "wss://" URL that the WebSocket client can use, checked
// before any network work so that a URL that can never work is refused at
// start-up rather than failing quietly at every block.
#pragma once

#include <string>

namespace quorlen::node {

struct WsUrl {
    std::string host;  // without brackets, ready for name resolution
    // As written, a number or a service name; when the URL names none, "6061"
    // (ws://) or "443" (wss://).
    std::string port;
    std::string path;  // empty when the URL names none
    bool ipv6 = false; // the host was a bracketed IPv6 literal
    bool tls = false;  // wss://: the WebSocket runs over TLS
    // The host as the Host header writes it: IPv6 literals in brackets.
    std::string host_header() const { return ipv6 ? "[" + host + "]" : host; }
};

// "" when `url` is usable (and `out` is filled), otherwise the reason.
[[nodiscard]] std::string parse_ws_url(const std::string& url, WsUrl& out);

}  // namespace quorlen::node
