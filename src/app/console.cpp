#include "app/console.h"

#include <unistd.h>

#include <cerrno>

namespace quorlen::app {

bool is_terminal(std::FILE* f) { return isatty(fileno(f)) == 1; }

bool shares_terminal_with_rate_line() {
    static const bool kShared = is_terminal(stdout) && is_terminal(stderr);
    return kShared;
}

const char* line_lead() { return shares_terminal_with_rate_line() ? "\n" : ""; }

bool flush_reaches_reader(std::FILE* f) {
    errno = 0;
    return std::fflush(f) == 0 || errno != EPIPE;
}

}  // namespace quorlen::app
