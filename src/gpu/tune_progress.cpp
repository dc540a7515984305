#include "gpu/tune_progress.h"

#include <cmath>
#include <string>

namespace quorlen::gpu {

ConsoleTuneProgress::ConsoleTuneProgress(int gpu, std::FILE* out, bool terminal)
    : gpu_(gpu), out_(out), terminal_(terminal) {}

void ConsoleTuneProgress::measuring(int step, int steps, int batch, int bestBatch, double bestRate) {
    // Into a file it would be a line of a form log readers were never told
    // of, and each step has its "[tune] B=" line there anyway.
    if (!terminal_) return;
    const std::string of = steps > 0 ? "/" + std::to_string(steps) : "";
    const std::string best =
        bestBatch > 0 ? ", best so far " + std::to_string((long long)bestRate) + " H/s at B=" + std::to_string(bestBatch) : "";
    // "\033[K" clears what a longer earlier text left behind.
    std::fprintf(out_, "\r[tune] GPU#%d step %d%s: measuring B=%d%s\033[K", gpu_, step, of.c_str(), batch, best.c_str());
    std::fflush(out_);
    drawn_ = true;
}

void ConsoleTuneProgress::clear() {
    if (!drawn_) return;
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    drawn_ = false;
}

int planned_steps(int batch, int maxBatch, double stepFactor) {
    int n = 1;
    for (int i = 0; i < 1000; ++i) {
        const double grown = std::ceil(double(batch) * stepFactor);
        if (!(grown > -2147483648.0)) return 0;  // no int holds it: cannot be told
        const int nextBatch = grown >= double(maxBatch) ? maxBatch : int(grown);
        if (nextBatch == batch) return n;
        ++n;
        if (nextBatch >= maxBatch) return n;
        batch = nextBatch;
    }
    return 0;
}

}  // namespace quorlen::gpu
