#include "cli/api_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cli/key_source.h"

namespace quorlen::cli {

namespace {

// A token goes into an HTTP header: printable ASCII without blanks.
bool usableToken(const std::string& token) {
    if (token.empty() || token.size() > 1024) return false;
    for (unsigned char c : token)
        if (c <= 0x20 || c >= 0x7f) return false;
    return true;
}

}  // namespace

std::optional<ApiAddress> parse_api_address(const std::string& text) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) return std::nullopt;  // IPv6 needs its brackets
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long number = std::strtol(port.c_str(), nullptr, 10);
    if (number > 65535) return std::nullopt;
    if (host == "localhost") host = "127.0.0.1";
    ApiAddress address{host, static_cast<unsigned short>(number), false};
    unsigned char bytes[16];
    if (inet_pton(AF_INET, host.c_str(), bytes) == 1) {
        address.loopback = bytes[0] == 127;
    } else if (inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
        static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        address.loopback = std::equal(bytes, bytes + 16, kLoopback6);
    } else {
        return std::nullopt;
    }
    return address;
}

int resolve_monitoring(Cli& cli) {
    if (cli.tempLimit < 0 || cli.tempLimit > 150) {
        std::fprintf(stderr, "invalid value for --temp-limit: \"%d\" (expected degrees Celsius from 1 to 150)\n",
                     cli.tempLimit);
        return 1;
    }
    // The variable only for a server that is asked for: it may be set for
    // other programs of the environment.
    if (resolve_secret(cli.apiToken, {"--api-token", "--api-token-file", cli.apiTokenFile,
                                      cli.api.empty() ? nullptr : kApiTokenEnv, true}) != 0)
        return 1;
    if (!cli.apiToken.empty() && !usableToken(cli.apiToken)) {
        std::fputs("API token: only printable characters without blanks, at most 1024\n", stderr);
        return 1;
    }
    if (cli.api.empty()) return 0;
    const auto address = parse_api_address(cli.api);
    if (!address) {
        std::fprintf(stderr, "invalid value for --api: \"%s\" (expected HOST:PORT with HOST an IP address, "
                             "e.g. 127.0.0.1:4068)\n", cli.api.c_str());
        return 1;
    }
    if (!address->loopback && cli.apiToken.empty()) {
        std::fprintf(stderr, "--api %s: a bind address other than loopback needs a token (--api-token, "
                             "--api-token-file or %s)\n", cli.api.c_str(), kApiTokenEnv);
        return 1;
    }
    return 0;
}

}  // namespace quorlen::cli
