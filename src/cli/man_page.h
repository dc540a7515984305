// The manual page, quorlen-gpu-miner(1), written from the option table.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace quorlen::cli {

// The page in man(7) roff: every option of `options`, with the environment,
// exit statuses and files around them. `version` goes in the page's footer.
std::string man_page(const std::vector<CliOption>& options, const std::string& version);

}  // namespace quorlen::cli
