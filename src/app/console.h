// How lines share the console with the live hash-rate line.
#pragma once

#include <cstdio>

namespace quorlen::app {

// True when standard output and standard error are both terminals: then the
// hash-rate line (redrawn in place on standard output) may be sitting
// unfinished where standard error writes next.
bool shares_terminal_with_rate_line();

// What a line that may interrupt the hash-rate line starts with: a line feed
// on a shared terminal, nothing otherwise (a log file gets no empty lines).
const char* line_lead();

// True when `f` is a terminal.
bool is_terminal(std::FILE* f);

// Flushes `f`; false when that failed because its reader has gone (EPIPE:
// a pipe whose reading end was closed, as by `| head`).
bool flush_reaches_reader(std::FILE* f);

}  // namespace quorlen::app
