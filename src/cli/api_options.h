// The monitoring options checked before anything starts: where the API
// listens, the token it asks for, the temperature limit.
#pragma once

#include <optional>
#include <string>

#include "cli/cli.h"

namespace quorlen::cli {

// The environment variable that may carry the API token.
constexpr const char* kApiTokenEnv = "QUORLEN_API_TOKEN";

struct ApiAddress {
    std::string host;  // an IP address, as make_address reads it ("localhost" becomes 127.0.0.1)
    unsigned short port = 0;
    bool loopback = false;
};

// "HOST:PORT" or "[IPv6]:PORT" with HOST an IP address or "localhost" and
// PORT from 0 (any free port) to 65535; nothing when the text is not one.
[[nodiscard]] std::optional<ApiAddress> parse_api_address(const std::string& text);

// Checks --api, --api-token, --api-token-file, kApiTokenEnv (read only with
// --api) and --temp-limit: fills cli.apiToken from the file or the environment and
// refuses a bind other than loopback without a token. Prints what goes
// wrong and returns the exit status (1), else 0.
[[nodiscard]] int resolve_monitoring(Cli& cli);

}  // namespace quorlen::cli
