// What a long-running console program needs of its process before it opens
// anything: the three standard descriptors, and signals that end it cleanly
// or not at all.
#pragma once

namespace quorlen::app {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// the next file or socket opened cannot take a standard stream's number and
// receive console text. Call first thing in main.
void open_missing_std_fds();

// SIGINT, SIGTERM and SIGHUP (a closed terminal) all call `onStop`: one clean
// stop with the final statistics. SIGPIPE is ignored: a write to a socket or
// pipe whose peer has gone just fails (EPIPE), and the caller decides.
void install_stop_signals(void (*onStop)(int));

}  // namespace quorlen::app
