// The miner's exit statuses: what a script or a service manager reads to
// tell why it stopped.
#pragma once

namespace quorlen::app {

enum ExitStatus : int {
    kExitStopped = 0,         // a stop request (Ctrl-C, SIGTERM, SIGHUP) or a gone reader
    kExitUsage = 1,           // a command-line error, or no key given
    kExitKeyRefused = 2,      // the user's key was refused
    kExitNoDevices = 3,       // the library found no device
    kExitNoneSelected = 4,    // no --devices entry names an existing device
    // A device could not be brought up, or start-up failed in a way no other
    // status describes, or no selected device passed its self-test.
    kExitBringUpFailed = 5,
    // Every GPU became unusable or stopped answering (with --exit-on-stall:
    // one did).
    kExitAllDevicesLost = 6,
};

}  // namespace quorlen::app
