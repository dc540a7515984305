#include "node/ws_url.h"

#include <cctype>

namespace quorlen::node {

namespace {

bool allDigits(const std::string& s) {
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return !s.empty();
}

// The resolver reads a port that is a number (leading zeros and a '+'
// allowed) as that number, cut to 16 bits; anything else is a service name
// (http-alt), looked up when connecting. A number that can never be
// connected to is "", or why not.
std::string portProblem(const std::string& port) {
    const std::string digits = port.substr(!port.empty() && (port[0] == '+' || port[0] == '-') ? 1 : 0);
    if (port.empty() || (allDigits(digits) && port[0] == '-')) return "the port must be a number from 1 to 65535";
    if (!allDigits(digits)) return "";
    const size_t first = digits.find_first_not_of('0');
    const std::string value = first == std::string::npos ? "0" : digits.substr(first);
    if (value.size() > 5 || std::stoul(value) < 1 || std::stoul(value) > 65535)
        return "the port must be a number from 1 to 65535";
    return "";
}

}  // namespace

std::string parse_ws_url(const std::string& url, WsUrl& out) {
    WsUrl parsed;
    parsed.tls = url.compare(0, 6, "wss://") == 0;
    const std::string scheme = parsed.tls ? "wss://" : "ws://";
    if (url.compare(0, scheme.size(), scheme) != 0) return "the URL must begin with ws:// or wss:// (lowercase)";
    std::string rest = url.substr(scheme.size());
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        parsed.path = rest.substr(slash);
        rest.erase(slash);
    }
    for (char c : rest) {
        if (c == '@') return "user information (user@host) is not supported";
        if (c == '?' || c == '#' || std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c)))
            return "the host part holds a character that cannot be in a host name";
    }
    std::string portText;
    bool hasPort = false;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return "an IPv6 address must end with ']'";
        parsed.host = rest.substr(1, close - 1);
        parsed.ipv6 = true;
        if (parsed.host.find(':') == std::string::npos) return "brackets must hold an IPv6 address";
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return "only a port may follow an IPv6 address";
            hasPort = true;
            portText = after.substr(1);
        }
    } else {
        const size_t colon = rest.find(':');
        parsed.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = rest.substr(colon + 1);
            if (portText.find(':') != std::string::npos) return "an IPv6 address must be written in brackets";
        }
    }
    if (parsed.host.empty()) return "the URL names no host";
    if (hasPort) {
        const std::string problem = portProblem(portText);
        if (!problem.empty()) return problem;
        parsed.port = portText;  // as written: the resolver reads it
    } else {
        parsed.port = parsed.tls ? "443" : "6061";
    }
    out = parsed;
    return "";
}

}  // namespace quorlen::node
