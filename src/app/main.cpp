#include <atomic>
#include <csignal>
#include <cstdio>

#include "block/signer.h"
#include "cli/cli.h"

#include "app/stop_flag.h"

static void on_sigint(int) { g_stop.exchange(true); }

int main(int argc, char** argv) {
    std::signal(SIGINT, on_sigint);
    Cli cli;
    if (!parse_cli(argc, argv, cli)) return 1;
    if (cli.priv.empty()) {
        std::fputs("--priv is required\n", stderr);
        return 1;
    }
    apply_env(cli);
    std::fputs(cfg_line(cli).c_str(), stderr);
    Signer signer;
    if (!signer.init(cli.priv, true)) {
        std::fputs("signer init failed\n", stderr);
        return 2;
    }
    std::fprintf(stderr, "pub: %s\n", signer.pubhex.c_str());
    return 0;
}
