// Where the user's key comes from when it should not sit in the command line:
// a file (--priv-file) or the environment. Whatever the source, the key text
// then goes through the same acceptance as --priv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "cli/cli.h"

namespace quorlen::cli {

// The environment variable that may carry the key text.
constexpr const char* kPrivEnv = "QUORLEN_PRIV";
// A key is 64 hex digits; anything much larger is not a key file.
constexpr std::size_t kMaxKeyFileBytes = 4096;

// `text` without surrounding blanks (space, tab, CR, LF, VT, FF).
std::string trim_blanks(std::string_view text);

// Reads a key file: a regular file of at most kMaxKeyFileBytes, trimmed.
// On failure returns false with `error` set; `warning` is set when group or
// others may read the file.
[[nodiscard]] bool read_key_file(const std::string& path, std::string& key, std::string& error, std::string& warning);

// Where one secret may come from besides its option's value.
struct SecretSource {
    const char* valueOption;  // "--priv": named when the value and the file are both given
    const char* fileOption;   // "--priv-file"
    const std::string& file;  // the file's path; empty when not given
    const char* envName;      // read when neither value nor file was given; nullptr: never
    bool trimEnv;             // strip blanks around the variable's text
};

// Fills `value` from the source's file (a key file, see read_key_file), or
// else from its environment variable when the value is empty. Prints what
// goes wrong and returns the exit status (1), else 0.
[[nodiscard]] int resolve_secret(std::string& value, const SecretSource& source);

// Fills cli.priv from --priv-file, or else from kPrivEnv, when --priv was not
// given. Prints what goes wrong and returns the exit status (1), else 0.
[[nodiscard]] int resolve_priv(Cli& cli);

// Overwrites a key text in place before it is released.
void wipe_text(std::string& text);

}  // namespace quorlen::cli
