// Text from a peer (a node's reply, a TLS library's message quoting a
// certificate, a cached reason) on its way to the console: escape sequences
// in it must not reach the terminal.
#pragma once

#include <string>
#include <string_view>

namespace quorlen::block {

// `bytes` with every byte outside printable ASCII, and the backslash, shown
// as "\xNN" (two lowercase hex digits).
std::string printable(std::string_view bytes);

}  // namespace quorlen::block
