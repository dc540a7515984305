// What one mining thread owns and knows, filled by main before the thread
// starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "block/signer.h"
#include "node/node_api.h"
#include "worker/gpu_stats.h"

class GpuHasher;

struct WorkerCtx {
    std::int32_t gpu = 0;
    std::int32_t batch = 128;
    std::atomic<std::uint64_t> hashes{0};
    std::atomic<std::uint64_t> hwErrors{0};  // hits the CPU did not confirm
    // Set by the worker when its device became unusable and it stopped.
    std::atomic<bool> deviceLost{false};
    // Set by the thermal guard while the device is too hot: the worker
    // finishes the batches in flight and starts no new one until it is clear.
    std::atomic<bool> thermalPause{false};
    // For the supervision's watchdog, in steady-clock milliseconds: since
    // when the worker has been waiting on the device (0: it is not), and
    // when its last batch finished (when it started, before the first).
    std::atomic<std::uint64_t> deviceWaitSinceMs{0};
    std::atomic<std::uint64_t> lastBatchMs{0};
    std::atomic<std::uint64_t> batchesDone{0};
    // Set by the supervision when the device stopped answering: the worker
    // is stuck in a driver call and counts as unusable.
    std::atomic<bool> stalled{false};
    // Set by the worker as its very last act: only such a thread is joined.
    std::atomic<bool> finished{false};
    std::unique_ptr<NodeApi> api;
    Signer signer;
    Signer devSigner;
    bool devReady = false;
    bool devEnabled = true;
    std::int32_t devMinutes = 5;
    std::string devPub;
    GpuHasher* hasher = nullptr;
    std::string minerPub;
    std::shared_ptr<quorlen::worker::GpuStats> stats = std::make_shared<quorlen::worker::GpuStats>();  // shared with the node's verdict reader
    // The stop request (Ctrl-C) the worker polls; none: it runs until its
    // device is lost.
    const std::atomic<bool>* stop = nullptr;
};
