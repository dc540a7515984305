#include "app/rig_monitor.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "api/api_server.h"
#include "app/console.h"
#include "app/rig_summary.h"
#include "app/stop_flag.h"
#include "cli/api_options.h"
#include "node/steady_ms.h"
#include "worker/worker_ctx.h"

namespace quorlen::app {

#ifndef QUORLEN_VERSION
#define QUORLEN_VERSION "unknown"
#endif

namespace {

using std::chrono::seconds;

void pushHistory(std::vector<double>& history, double value) {
    history.push_back(value);
    if (history.size() > api::RigSnapshot::kHistoryPoints) history.erase(history.begin());
}

}  // namespace

RigMonitor::RigMonitor(const Cli& cli, std::FILE* out)
    : out_(out), nodeHttp_(cli.http), nodeWs_(cli.ws), backupHttp_(cli.backupHttp), backupWs_(cli.backupWs),
      telemetry_(telemetry::GpuTelemetry::library_from_environment()),
      guard_(unsigned(std::max(0, cli.tempLimit))),
      nextHistory_(std::chrono::steady_clock::now() + seconds(api::RigSnapshot::kHistoryStep)) {
    const auto loaded = telemetry_.wait_loaded(seconds(1), [] { return g_stop.load(); });
    if (cli.tempLimit > 0 && loaded == telemetry::TelemetryReader::State::Unavailable)
        std::fprintf(out_, "[thermal] no GPU temperatures (%s); --temp-limit cannot act\n",
                     telemetry_.problem().c_str());
    else if (cli.tempLimit > 0 && loaded == telemetry::TelemetryReader::State::Loading)
        std::fprintf(out_, "[thermal] the GPU management library has not answered in 1 s; --temp-limit cannot act "
                           "until it does\n");
    if (cli.api.empty()) return;
    const auto address = cli::parse_api_address(cli.api);  // checked at start
    if (!address) throw std::runtime_error("--api " + cli.api + ": not HOST:PORT");
    net::ServerLimits limits = api::ApiServer::default_limits();
    // What the server reports (refused clients, oversized requests) is
    // caused by its clients, who must not be able to fill the journal: at
    // most one line a minute, saying how many events it stands for.
    struct Throttle {
        std::chrono::steady_clock::time_point next{};
        std::uint64_t quiet = 0;
    };
    limits.log = [out, throttle = std::make_shared<Throttle>()](const std::string& line) {
        const auto now = std::chrono::steady_clock::now();
        if (now < throttle->next) {
            ++throttle->quiet;
            return;
        }
        const std::string more =
            throttle->quiet ? " (and " + std::to_string(throttle->quiet) + " more events in the minute before)" : "";
        std::fprintf(out, "%s[api] %s%s\n", line_lead(), line.c_str(), more.c_str());
        throttle->quiet = 0;
        throttle->next = now + std::chrono::minutes(1);
    };
    try {
        api_ = std::make_unique<api::ApiServer>(address->host, address->port, cli.apiToken, std::move(limits));
    } catch (const std::exception& e) {
        throw std::runtime_error("--api " + cli.api + ": cannot listen: " + e.what());
    }
    const std::string host = address->host.find(':') != std::string::npos ? "[" + address->host + "]" : address->host;
    std::fprintf(out_, "[api] serving http://%s:%u/ (summary, metrics, health)%s\n", host.c_str(), api_->port(),
                 cli.apiToken.empty() ? "" : "; requests need the bearer token");
    api_->publish(snapshot(nullptr));
}

RigMonitor::~RigMonitor() = default;

void RigMonitor::publish(const RigSummary* summary) {
    if (api_) api_->publish(snapshot(summary));
}

void RigMonitor::start_problem(const std::string& problem) {
    startProblems_.push_back(problem);
    publish(nullptr);
}

unsigned short RigMonitor::api_port() const { return api_ ? api_->port() : 0; }

void RigMonitor::add(WorkerCtx& ctx, const std::string& name, const std::string& pciBusId) {
    telemetry_.watch(pciBusId);
    gpus_.push_back({&ctx, name, pciBusId, std::nullopt, false, false, {}});
    Gpu& g = gpus_.back();
    if (!pciBusId.empty()) telemetry_.refresh(kReadWait);
    read(g);
    if (guard_.limit() > 0 && telemetry_.state() != telemetry::TelemetryReader::State::Unavailable && !temperature(g)) {
        g.blind = true;
        std::fprintf(out_, "%s[thermal] GPU#%d: no temperature reading; --temp-limit cannot act on it\n", line_lead(),
                     ctx.gpu);
    }
    if (api_) api_->publish(snapshot(nullptr));
}

void RigMonitor::read(Gpu& g) {
    g.stale = false;
    if (g.pciBusId.empty() || telemetry_.state() == telemetry::TelemetryReader::State::Unavailable) return g.reading.reset();
    const telemetry::TelemetryReader::Sample sample = telemetry_.latest(g.pciBusId);
    if (sample.at) g.reading = sample.reading;
    g.stale = !sample.at || std::chrono::steady_clock::now() - *sample.at > kStaleAfter;
}

std::optional<unsigned> RigMonitor::temperature(const Gpu& g) {
    return g.reading && !g.stale ? g.reading->temperatureC : std::nullopt;
}

void RigMonitor::guard(std::size_t slot) {
    Gpu& g = gpus_[slot];
    const std::optional<unsigned> t = temperature(g);
    // Losing the reading changes what the guard can do: say so once, and
    // once when it returns.
    if (guard_.limit() > 0 && telemetry_.state() != telemetry::TelemetryReader::State::Unavailable && !t && !g.blind) {
        g.blind = true;
        const char* why = g.stale ? "the management library has not answered" : "the card reports none";
        if (g.ctx->thermalPause.load())
            std::fprintf(out_, "%s[thermal] GPU#%d: temperature reading lost (%s); it stays paused until a reading "
                               "shows %u C or less\n",
                         line_lead(), g.ctx->gpu, why, guard_.resume_at());
        else
            std::fprintf(out_, "%s[thermal] GPU#%d: temperature reading lost (%s); it mines unguarded until the "
                               "reading returns\n",
                         line_lead(), g.ctx->gpu, why);
    } else if (t && g.blind) {
        g.blind = false;
        std::fprintf(out_, "%s[thermal] GPU#%d: temperature reading back at %u C; guarded again\n", line_lead(),
                     g.ctx->gpu, *t);
    }
    switch (guard_.observe(slot, t)) {
        case telemetry::ThermalGuard::Change::Pause:
            g.ctx->thermalPause.store(true);
            std::fprintf(out_, "%s[thermal] GPU#%d at %u C (limit %u C): paused until it cools to %u C\n", line_lead(),
                         g.ctx->gpu, *t, guard_.limit(), guard_.resume_at());
            break;
        case telemetry::ThermalGuard::Change::Resume:
            g.ctx->thermalPause.store(false);
            std::fprintf(out_, "%s[thermal] GPU#%d at %u C: resumed\n", line_lead(), g.ctx->gpu, *t);
            break;
        case telemetry::ThermalGuard::Change::None:
            break;
    }
}

void RigMonitor::tick(const RigSummary* summary) {
    if (!gpus_.empty()) telemetry_.refresh(kReadWait);
    for (std::size_t i = 0; i < gpus_.size(); ++i) {
        read(gpus_[i]);
        guard(i);
    }
    const auto now = std::chrono::steady_clock::now();
    if (summary && now >= nextHistory_) {
        nextHistory_ = now + seconds(api::RigSnapshot::kHistoryStep);
        pushHistory(history_, summary->rig_rates().rate(seconds(10)));
        for (std::size_t i = 0; i < gpus_.size() && i < summary->gpus(); ++i)
            pushHistory(gpus_[i].history, summary->gpu_rates(i).rate(seconds(10)));
    }
    if (api_) api_->publish(snapshot(summary));
}

api::RigSnapshot RigMonitor::snapshot(const RigSummary* summary) const {
    const std::uint64_t nowMs = node::steady_ms();
    api::RigSnapshot rig;
    rig.version = QUORLEN_VERSION;
    rig.nodeHttp = nodeHttp_;
    rig.nodeWs = nodeWs_;
    rig.backupHttp = backupHttp_;
    rig.backupWs = backupWs_;
    rig.starting = starting_;
    rig.startProblems = startProblems_;
    rig.history = history_;
    const auto rates = [](const RateWindows& w) {
        return api::Rates{w.rate(seconds(10)), w.rate(seconds(60)), w.rate(seconds(900))};
    };
    if (summary) rig.rates = rates(summary->rig_rates());
    std::uint64_t answered = 0;
    bool asking = gpus_.empty();
    for (std::size_t i = 0; i < gpus_.size(); ++i) {
        const Gpu& g = gpus_[i];
        const WorkerCtx& ctx = *g.ctx;
        const GpuCounts c = counts_of(ctx);
        api::GpuSnapshot s;
        s.gpu = ctx.gpu;
        s.name = g.name;
        s.batch = ctx.batch;
        if (summary && i < summary->gpus()) s.rates = rates(summary->gpu_rates(i));
        s.hashes = c.hashes;
        s.found = c.found;
        s.sent = c.sent;
        s.failed = c.failed;
        s.hwErrors = c.hwErrors;
        s.stale = c.stale;
        s.accepted = c.accepted;
        s.rejected = c.rejected;
        s.unrecognised = c.unrecognised;
        s.lost = ctx.deviceLost.load();
        s.paused = ctx.thermalPause.load();
        s.stalled = ctx.stalled.load();
        if (s.stalled) s.stalledSeconds = (nowMs - std::min(ctx.lastBatchMs.load(), nowMs)) / 1000;
        s.onBackup = c.onBackup != 0;
        s.switches = c.switches;
        s.telemetry = g.reading;
        s.telemetryStale = g.stale;
        s.unguarded = g.blind;
        s.history = g.history;
        rig.gpus.push_back(std::move(s));
        // A worker stuck on its device or gone asks the node nothing: its
        // last answer tells nothing of the node now.
        if (!s.lost && !s.stalled) {
            asking = true;
            answered = std::max(answered, ctx.stats->nodeAnsweredMs.load());
        }
        for (const node::FoundBlock& b : ctx.stats->recent.list())
            rig.blocks.push_back({ctx.gpu, b.height, b.hash, b.timeMs, b.verdict, b.reason});
    }
    rig.nodeAsked = asking;
    if (answered) rig.nodeAnsweredAgo = double(nowMs - std::min(answered, nowMs)) / 1000.0;
    std::stable_sort(rig.blocks.begin(), rig.blocks.end(),
                     [](const api::BlockSnapshot& a, const api::BlockSnapshot& b) { return a.timeMs > b.timeMs; });
    if (rig.blocks.size() > node::RecentBlocks::kKept) rig.blocks.resize(node::RecentBlocks::kKept);
    return rig;
}

std::string RigMonitor::telemetry_lines(const RigSummary& summary) const {
    std::string out;
    for (std::size_t i = 0; i < gpus_.size(); ++i) {
        const Gpu& g = gpus_[i];
        if (!g.reading) continue;
        const telemetry::GpuReading& r = *g.reading;
        char buf[256];
        std::string line = "[stats] GPU#" + std::to_string(g.ctx->gpu) + " telemetry:";
        const auto add = [&](bool have, const char* format, double v) {
            if (!have) return;
            std::snprintf(buf, sizeof buf, format, v);
            line += buf;
        };
        add(bool(r.temperatureC), " %.0f C", r.temperatureC.value_or(0));
        add(bool(r.powerW), " %.1f W", r.powerW.value_or(0));
        const double rate = i < summary.gpus() ? summary.gpu_rates(i).rate(seconds(60)) : 0;
        add(r.powerW && *r.powerW > 0, " %.3f H/s/W", r.powerW ? rate / std::max(*r.powerW, 1e-9) : 0);
        add(bool(r.fanPercent), " fan %.0f %%", r.fanPercent.value_or(0));
        add(bool(r.coreMHz), " core %.0f MHz", r.coreMHz.value_or(0));
        add(bool(r.memoryMHz), " memory %.0f MHz", r.memoryMHz.value_or(0));
        if (g.stale) line += " (stale: the management library has not answered)";
        if (g.ctx->thermalPause.load()) line += " (paused: too hot)";
        out += line + "\n";
    }
    return out;
}

}  // namespace quorlen::app
