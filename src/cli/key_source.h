// Where the user's key comes from when it should not sit in the command line:
// a file (--priv-file) or the environment. Whatever the source, the key text
// then goes through the same acceptance as --priv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "cli/cli.h"

// The environment variable that may carry the key text.
constexpr const char* PRIV_ENV = "QUORLEN_PRIV";
// A key is 64 hex digits; anything much larger is not a key file.
constexpr std::size_t MAX_KEY_FILE_BYTES = 4096;

// `text` without surrounding blanks (space, tab, CR, LF, VT, FF).
std::string trim_blanks(std::string_view text);

// Reads a key file: a regular file of at most MAX_KEY_FILE_BYTES, trimmed.
// On failure returns false with `error` set; `warning` is set when group or
// others may read the file.
bool read_key_file(const std::string& path, std::string& key, std::string& error, std::string& warning);

// Fills cli.priv from --priv-file, or else from PRIV_ENV, when --priv was not
// given. Prints what goes wrong and returns the exit status (1), else 0.
int resolve_priv(Cli& cli);

// Overwrites a key text in place before it is released.
void wipe_text(std::string& text);
