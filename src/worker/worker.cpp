#include "worker/worker.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <vector>

#include "argon2gpu/cuda/device.h"
#include "block/canonical.h"
#include "block/hex.h"
#include "block/json_depth.h"
#include "block/printable.h"
#include "gpu/batch_pipeline.h"
#include "gpu/gpu_hasher.h"
#include "node/steady_ms.h"
#include "worker/chain_view.h"
#include "worker/identity.h"
#include "worker/pass_template.h"

namespace quorlen::worker {

namespace {

std::uint64_t epochMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count() /
                                      1000000);
}

bool stopRequested(const WorkerCtx& ctx) { return ctx.stop && ctx.stop->load(); }

}  // namespace

void sleep_ms(long ms) {
    timespec req{ms / 1000, (ms % 1000) * 1000000L}, rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

std::string submitted_hash_text(const std::string& hash) { return block::lower_without_leading_zeros(hash); }

bool confirm_hit(WorkerCtx& ctx, const std::string& text, const std::string& hash) {
    const std::string cpu = ctx.hasher->cpu_hash(text);
    if (cpu == hash) return true;
    ctx.hwErrors.fetch_add(1);
    std::fprintf(stderr, "\n[gpu] GPU#%d hardware error: device hash %s, CPU hash %s; block not sent\n", ctx.gpu,
                 hash.c_str(), cpu.c_str());
    return false;
}

namespace {

// What testing a pass needs of the moment it was built: by the time its
// digests come back, the next pass may have refreshed the view.
struct PassInFlight {
    const Signer* signer;
    std::string diff;
    std::uint64_t height;  // the chain's height it was built on
    std::string prevHash;
    std::uint64_t node;  // which node showed that tip (see ChainView::node)
};

// A refresh made for the next pass has seen the tip move past this one: a
// block on it would go out on a tip the node no longer extends. A view of
// another node says nothing of it: the node client checks that node's tip.
bool tipReplaced(const PassInFlight& pass, const ChainView& view) {
    return pass.node == view.node && (pass.height != view.height || pass.prevHash != view.prevHash);
}

void dropStaleHit(WorkerCtx& ctx, const PassInFlight& pass, const ChainView& view, const std::string& hash) {
    ctx.stats->stale.fetch_add(1);
    const std::string submitted = submitted_hash_text(hash);
    ctx.stats->recent.found(pass.height, submitted, epochMs());
    ctx.stats->recent.settle(submitted, "stale");
    std::fprintf(stderr, "\n[worker] GPU#%d hit hash=%s not sent: found on the tip at height %llu, which the node has "
                 "since replaced (height %llu)\n",
                 ctx.gpu, hash.c_str(), static_cast<unsigned long long>(pass.height),
                 static_cast<unsigned long long>(view.height));
}

// Marks the time spent waiting on the device, for the supervision's watchdog:
// a driver call that never returns leaves the mark standing.
class DeviceWait {
public:
    explicit DeviceWait(WorkerCtx& ctx) : ctx_(ctx) { ctx_.deviceWaitSinceMs.store(node::steady_ms()); }
    ~DeviceWait() { ctx_.deviceWaitSinceMs.store(0); }
    DeviceWait(const DeviceWait&) = delete;
    DeviceWait& operator=(const DeviceWait&) = delete;

private:
    WorkerCtx& ctx_;
};

// Whatever way the worker ends, the stop may join it from then on.
class FinishedMark {
public:
    explicit FinishedMark(WorkerCtx& ctx) : ctx_(ctx) {}
    ~FinishedMark() { ctx_.finished.store(true); }
    FinishedMark(const FinishedMark&) = delete;
    FinishedMark& operator=(const FinishedMark&) = delete;

private:
    WorkerCtx& ctx_;
};

// Every later batch would fail the same way: the device is given up.
void deviceLost(WorkerCtx& ctx, const argon2::cuda::DeviceLost& e) {
    std::fprintf(stderr, "\n[gpu] GPU#%d unusable, its worker stops: %s\n", ctx.gpu, e.what());
    ctx.deviceLost.store(true);
}

void gpuError(WorkerCtx& ctx, gpu::BatchPipeline& pipeline, std::deque<PassInFlight>& passes, const std::exception& e) {
    std::fprintf(stderr, "\n[gpu] error: %s\n", e.what());
    {
        const DeviceWait wait(ctx);
        pipeline.discard();
    }
    passes.clear();
    sleep_ms(200);
}

enum class Step { Done, Failed, DeviceLost };

// Runs one step that involves the device: a lost device ends the worker, any
// other failure drops what is in flight and the loop goes on.
template <class F>
Step deviceStep(WorkerCtx& ctx, gpu::BatchPipeline& pipeline, std::deque<PassInFlight>& passes, F&& step) {
    try {
        step();
        return Step::Done;
    } catch (const argon2::cuda::DeviceLost& e) {
        deviceLost(ctx, e);
        return Step::DeviceLost;
    } catch (const std::exception& e) {
        gpuError(ctx, pipeline, passes, e);
        return Step::Failed;
    }
}

// Builds the next pass and hands it to the device; false when it could not
// be built.
bool buildPass(WorkerCtx& ctx, ChainView& view, gpu::BatchPipeline& pipeline, std::deque<PassInFlight>& passes,
               std::size_t batch) {
    refresh_chain(ctx, view, node::steady_ms());
    apply_diff_override(view);
    const auto [signer, proposer] = pick_identity(ctx);
    const std::uint64_t ts = epochMs();
    try {
        const PassTemplate pass(view, proposer, ts);
        gpu::SharedPrefixBatch& texts = pipeline.next();
        texts.prefix = pass.prefix();
        texts.rests.resize(batch);
        for (std::string& rest : texts.rests) pass.write_rest(rest);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "\n[worker] error: cannot build candidates: %s\n", block::printable(e.what()).c_str());
        sleep_ms(200);
        return false;
    }
    {
        const DeviceWait wait(ctx);
        pipeline.submit();
    }
    passes.push_back({signer, view.diff, view.height, view.prevHash, view.node});
    return true;
}

// Tests a pass's digests in slot order; the first hit is checked and sent,
// and the rest of the pass is not looked at.
void testPass(WorkerCtx& ctx, const PassInFlight& pass, const ChainView& view, const gpu::SharedPrefixBatch& texts,
              const std::vector<std::string>& results) {
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!meets_target(results[i], pass.diff)) continue;
        ctx.stats->found.fetch_add(1);
        if (tipReplaced(pass, view)) {
            dropStaleHit(ctx, pass, view, results[i]);
            return;
        }
        const std::string text = texts.text(i);
        try {
            // A faulty or overclocked card's "hit" would be rejected by
            // the node; after a mismatch the rest of its batch is not
            // worth a look either.
            const node::BuiltOn builtOn{pass.height, pass.prevHash, pass.node};
            if (ctx.api->past_stop_grace() || confirm_hit(ctx, text, results[i]))
                submit_hit(ctx, text, results[i], *pass.signer, pass.height, &builtOn);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "\n[worker] error: cannot submit the block of hash %s: %s\n", results[i].c_str(),
                         block::printable(e.what()).c_str());
            ctx.stats->failed.fetch_add(1);
        }
        // The pause paces the next pass; after a stop request none comes.
        if (!stopRequested(ctx)) sleep_ms(200);
        return;
    }
}

}  // namespace

}  // namespace quorlen::worker

using namespace quorlen;
using namespace quorlen::worker;

bool meets_target(const std::string& hash, const std::string& target) { return block::hex_at_most(hash, target); }

void submit_hit(WorkerCtx& ctx, const std::string& text, const std::string& hash, const Signer& signer,
                std::uint64_t height, const node::BuiltOn* builtOn) {
    // Past a stop's grace the block could not leave: it is not even built.
    std::string message;
    const std::string submitted = submitted_hash_text(hash);
    if (!ctx.api->past_stop_grace()) {
        const nlohmann::json block = block::parse_untrusted(text);
        const std::string signature = sign_hex(signer, text);
        message = block::block_event_message(build_block_for_submit(block, signature, submitted));
    }
    ctx.stats->recent.found(height, submitted, epochMs());
    const bool tried = !message.empty();
    const bool sent = tried && ctx.api->send_block_event(message, submitted, builtOn);
    const bool stale = tried && !sent && ctx.api->last_block_stale();
    if (stale) {
        // No node that answers has the tip it was found on: stale, as below.
        ctx.stats->stale.fetch_add(1);
        ctx.stats->recent.settle(submitted, "stale");
        std::fprintf(stderr, "\n[worker] GPU#%d hit hash=%s not sent: no node that answers has the tip it was found "
                     "on (height %llu)\n",
                     ctx.gpu, hash.c_str(), static_cast<unsigned long long>(height));
    } else if (tried && !sent && !ctx.api->last_block_refusal().empty()) {
        std::fprintf(stderr, "\n[worker] GPU#%d hit hash=%s not sent: %s\n", ctx.gpu, hash.c_str(),
                     block::printable(ctx.api->last_block_refusal()).c_str());
    }
    if (!sent && !stale) ctx.stats->recent.settle(submitted, "not sent");
    if (!stale) (sent ? ctx.stats->sent : ctx.stats->failed).fetch_add(1);
    // Written after every hit that was meant to go out, whatever became of it.
    std::fflush(stderr);
    std::fprintf(stdout, "\n[submit] GPU#%d %s ws=%d hash=%s\n", ctx.gpu, sent ? "OK" : "FAIL", sent ? 1 : 0,
                 hash.c_str());
    std::fflush(stdout);
}

// Each pass is handed to the device before the previous one is tested, so the
// device fills one pass while this thread builds the next and tests the last.
// A pass keeps its own rules: its refresh, identity, timestamp and draws when
// built; its target and signer when tested; the first hit wins.
void worker_thread(WorkerCtx* ctxPtr) {
    WorkerCtx& ctx = *ctxPtr;
    const FinishedMark finishedMark(ctx);
    ctx.lastBatchMs.store(node::steady_ms());
    ctx.hasher->bind_thread();
    ChainView view;
    // A worker started after a stop request mines no pass: nothing needs the chain.
    if (!stopRequested(ctx)) load_chain(ctx, view);
    const std::size_t batch = ctx.batch > 0 ? std::size_t(ctx.batch) : 0;
    gpu::BatchPipeline pipeline(*ctx.hasher);
    std::deque<PassInFlight> passes;
    std::vector<std::string> results;

    for (;;) {
        // On a stop, no new pass: the current one is finished first. A
        // pass that cannot be built does not hold up the one in flight.
        const bool paused = ctx.thermalPause.load(std::memory_order_relaxed);
        if (!stopRequested(ctx) && !paused) {
            bool built = false;
            const Step step =
                deviceStep(ctx, pipeline, passes, [&] { built = buildPass(ctx, view, pipeline, passes, batch); });
            if (step == Step::DeviceLost) return;
            if (step == Step::Failed) continue;
            if (built && pipeline.in_flight() < gpu::BatchPipeline::kDepth) continue;
        }
        if (pipeline.in_flight() == 0) {
            if (stopRequested(ctx)) break;
            if (paused) sleep_ms(100);  // too hot: the device rests until the guard clears it
            continue;  // the pass could not be built: try again
        }

        const PassInFlight pass = std::move(passes.front());
        passes.pop_front();
        const gpu::SharedPrefixBatch* texts = nullptr;
        const Step step = deviceStep(ctx, pipeline, passes, [&] {
            const DeviceWait wait(ctx);
            texts = &pipeline.collect(results);
        });
        if (step == Step::DeviceLost) return;
        if (step == Step::Failed) continue;
        ctx.lastBatchMs.store(node::steady_ms());
        ctx.batchesDone.fetch_add(1);
        ctx.hashes.fetch_add(results.size());
        testPass(ctx, pass, view, *texts, results);
        // This pass was the current one. After a stop request no other
        // becomes current: the passes queued behind it were built ahead of
        // their turn, and their hits are dropped untested rather than sent
        // past the stop.
        if (stopRequested(ctx)) {
            const DeviceWait wait(ctx);
            pipeline.discard();
            passes.clear();
            break;
        }
    }
}
