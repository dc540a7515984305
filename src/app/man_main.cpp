// Writes the manual page to standard output; the build runs it to make
// quorlen-gpu-miner.1 from the same option table the parser uses.
#include <cstdio>

#include "cli/cli.h"
#include "cli/man_page.h"

int main() {
    const std::string page = quorlen::cli::man_page(quorlen::cli::cli_options(), QUORLEN_VERSION);
    return std::fwrite(page.data(), 1, page.size(), stdout) == page.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
