#include "api/metrics_text.h"

#include <cmath>
#include <cstdio>
#include <functional>

namespace quorlen::api {

namespace {

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// One family: HELP and TYPE, then its samples; nothing at all when no
// sample has a value (a rig without telemetry has no temperature family).
class Family {
public:
    Family(std::string& out, const char* name, const char* type, const char* help)
        : out_(out), name_(name), type_(type), help_(help) {}
    void sample(const std::string& labels, double value) {
        if (!started_) {
            out_ += std::string("# HELP ") + name_ + " " + help_ + "\n# TYPE " + name_ + " " + type_ + "\n";
            started_ = true;
        }
        out_ += name_;
        if (!labels.empty()) out_ += "{" + labels + "}";
        out_ += " " + number(value) + "\n";
    }

private:
    std::string& out_;
    const char* name_;
    const char* type_;
    const char* help_;
    bool started_ = false;
};

std::string gpuLabels(const GpuSnapshot& g, std::size_t worker) {
    return "gpu=\"" + std::to_string(g.gpu) + "\",worker=\"" + std::to_string(worker) + "\",name=\"" +
           escape_label_value(g.name) + "\"";
}

void perGpu(std::string& out, const RigSnapshot& rig, const char* name, const char* type, const char* help,
            const std::function<std::optional<double>(const GpuSnapshot&)>& pick) {
    Family f(out, name, type, help);
    for (std::size_t i = 0; i < rig.gpus.size(); ++i)
        if (const auto v = pick(rig.gpus[i])) f.sample(gpuLabels(rig.gpus[i], i), *v);
}

template <class T>
std::optional<double> opt(const std::optional<T>& v) {
    return v ? std::optional<double>(double(*v)) : std::nullopt;
}

// The length of the well-formed UTF-8 sequence at `at`, or 0 when the byte
// there does not start one (overlong forms and surrogates included).
std::size_t utf8Length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range
    if (lead >= 0xc2 && lead <= 0xdf) length = 2;
    else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else
        return 0;
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
    return length;
}

}  // namespace

std::string escape_label_value(const std::string& value) {
    std::string out;
    for (std::size_t at = 0; at < value.size();) {
        const char c = value[at];
        const std::size_t length = utf8Length(value, at);
        if (length == 0) out += "\xEF\xBF\xBD";  // U+FFFD: one byte the scrapers could not read
        else if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out.append(value, at, length);
        at += length ? length : 1;
    }
    return out;
}

std::string metrics_text(const RigSnapshot& rig, double uptimeSeconds) {
    std::string out;
    Family(out, "quorlen_miner_info", "gauge", "The miner's version, as a label; always 1.")
        .sample("version=\"" + escape_label_value(rig.version) + "\"", 1);
    Family(out, "quorlen_miner_uptime_seconds", "gauge", "Seconds since the miner started.").sample("", uptimeSeconds);
    Family(out, "quorlen_miner_node_up", "gauge", "1 when the node answered within the last minute, else 0.")
        .sample("", rig.nodeAnsweredAgo && *rig.nodeAnsweredAgo <= 60 ? 1 : 0);
    if (rig.nodeAnsweredAgo)
        Family(out, "quorlen_miner_node_last_answer_age_seconds", "gauge", "Seconds since the node last answered.")
            .sample("", *rig.nodeAnsweredAgo);
    Family(out, "quorlen_miner_healthy", "gauge", "1 when GET /health answers 200, else 0.")
        .sample("", health_problems(rig).empty() ? 1 : 0);
    {
        Family f(out, "quorlen_rig_hashrate_hashes_per_second", "gauge",
                 "The rig's hash rate averaged over the window (10s, 60s, 15m).");
        f.sample("window=\"10s\"", rig.rates.s10);
        f.sample("window=\"60s\"", rig.rates.s60);
        f.sample("window=\"15m\"", rig.rates.m15);
    }
    if (!rig.blocks.empty())
        Family(out, "quorlen_rig_last_block_found_timestamp_seconds", "gauge",
               "Wall-clock time of the latest block found, in seconds since the epoch.")
            .sample("", double(rig.blocks.front().timeMs) / 1000.0);
    {
        Family f(out, "quorlen_gpu_hashrate_hashes_per_second", "gauge",
                 "A GPU's hash rate averaged over the window (10s, 60s, 15m).");
        for (std::size_t i = 0; i < rig.gpus.size(); ++i) {
            const GpuSnapshot& g = rig.gpus[i];
            const std::string labels = gpuLabels(g, i);
            f.sample(labels + ",window=\"10s\"", g.rates.s10);
            f.sample(labels + ",window=\"60s\"", g.rates.s60);
            f.sample(labels + ",window=\"15m\"", g.rates.m15);
        }
    }
    using G = const GpuSnapshot&;
    perGpu(out, rig, "quorlen_gpu_batch_size", "gauge", "Candidates hashed per batch, as tuned.",
           [](G g) { return double(g.batch); });
    perGpu(out, rig, "quorlen_gpu_mining", "gauge", "1 while the GPU's worker mines, 0 when paused, lost or stalled.",
           [](G g) { return g.lost || g.paused || g.stalled ? 0.0 : 1.0; });
    perGpu(out, rig, "quorlen_gpu_stalled", "gauge",
           "1 once the GPU stopped answering (a driver call that never returned); a restart brings it back.",
           [](G g) { return g.stalled ? 1.0 : 0.0; });
    perGpu(out, rig, "quorlen_gpu_thermal_paused", "gauge", "1 while the thermal guard holds the GPU.",
           [](G g) { return g.paused ? 1.0 : 0.0; });
    perGpu(out, rig, "quorlen_gpu_hashes_total", "counter", "Hashes computed.", [](G g) { return double(g.hashes); });
    perGpu(out, rig, "quorlen_gpu_blocks_found_total", "counter", "Hashes that met the target.",
           [](G g) { return double(g.found); });
    perGpu(out, rig, "quorlen_gpu_blocks_sent_total", "counter", "Blocks handed to the node's socket.",
           [](G g) { return double(g.sent); });
    perGpu(out, rig, "quorlen_gpu_blocks_failed_total", "counter", "Blocks that could not be sent.",
           [](G g) { return double(g.failed); });
    perGpu(out, rig, "quorlen_gpu_hardware_errors_total", "counter", "Hits the CPU did not confirm.",
           [](G g) { return double(g.hwErrors); });
    perGpu(out, rig, "quorlen_gpu_stale_total", "counter",
           "Hits dropped because a refresh had already moved the tip.", [](G g) { return double(g.stale); });
    if (!rig.backupHttp.empty()) {
        perGpu(out, rig, "quorlen_gpu_node_backup_active", "gauge",
               "1 while the GPU's worker mines against the backup node, 0 on the primary.",
               [](G g) { return g.onBackup ? 1.0 : 0.0; });
        perGpu(out, rig, "quorlen_gpu_node_switches_total", "counter",
               "Switches between the primary and the backup node.", [](G g) { return double(g.switches); });
    }
    perGpu(out, rig, "quorlen_gpu_blocks_accepted_total", "counter", "Blocks the node accepted.",
           [](G g) { return double(g.accepted); });
    perGpu(out, rig, "quorlen_gpu_blocks_rejected_total", "counter", "Blocks the node rejected.",
           [](G g) { return double(g.rejected); });
    perGpu(out, rig, "quorlen_gpu_node_frames_unrecognised_total", "counter",
           "Frames from the node that answered no block of this worker.",
           [](G g) { return double(g.unrecognised); });
    perGpu(out, rig, "quorlen_gpu_telemetry_stale", "gauge",
           "1 while the management library has not answered for the GPU in time; its readings are then left out.",
           [](G g) -> std::optional<double> {
               if (!g.telemetry && !g.telemetryStale) return std::nullopt;
               return g.telemetryStale ? 1.0 : 0.0;
           });
    // A stale reading is no reading: series that stop are what scrapers expect.
    const auto fresh = [](G g) { return g.telemetry && !g.telemetryStale ? &*g.telemetry : nullptr; };
    perGpu(out, rig, "quorlen_gpu_temperature_celsius", "gauge", "GPU core temperature.",
           [&](G g) { return fresh(g) ? opt(fresh(g)->temperatureC) : std::nullopt; });
    perGpu(out, rig, "quorlen_gpu_power_watts", "gauge", "Power drawn by the card.",
           [&](G g) { return fresh(g) ? opt(fresh(g)->powerW) : std::nullopt; });
    perGpu(out, rig, "quorlen_gpu_fan_speed_ratio", "gauge", "Fan speed as a share of its maximum (0 to 1).",
           [&](G g) -> std::optional<double> {
               if (!fresh(g) || !fresh(g)->fanPercent) return std::nullopt;
               return *fresh(g)->fanPercent / 100.0;
           });
    perGpu(out, rig, "quorlen_gpu_core_clock_hertz", "gauge", "Graphics (core) clock.",
           [&](G g) -> std::optional<double> {
               if (!fresh(g) || !fresh(g)->coreMHz) return std::nullopt;
               return *fresh(g)->coreMHz * 1e6;
           });
    perGpu(out, rig, "quorlen_gpu_memory_clock_hertz", "gauge", "Memory clock.",
           [&](G g) -> std::optional<double> {
               if (!fresh(g) || !fresh(g)->memoryMHz) return std::nullopt;
               return *fresh(g)->memoryMHz * 1e6;
           });
    perGpu(out, rig, "quorlen_gpu_hashes_per_joule", "gauge",
           "Hashes per second per watt, from the 60 s rate and the power drawn.",
           [&](G g) { return fresh(g) ? hashes_per_watt(g) : std::nullopt; });
    return out;
}

}  // namespace quorlen::api
