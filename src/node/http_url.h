// The node's HTTP base URL may only lead to HTTP: libcurl would read
// file://, ftp:// and a dozen other schemes just as willingly.
#pragma once

#include <string>

namespace quorlen::node {

// "" when `url` names http or https (or no scheme, which libcurl reads as
// http unless the host name suggests another), otherwise the reason.
[[nodiscard]] std::string http_url_problem(const std::string& url);

// The schemes a transfer and a redirect may use, as libcurl spells them.
constexpr const char* kHttpProtocols = "http,https";

}  // namespace quorlen::node
