// What the operator sees while a GPU is being tuned, which can take minutes:
// the step being measured and the best rate so far. Kept apart from the
// tuner so that the tuner's decisions can be tested with any display.
#pragma once

#include <cstdio>

namespace quorlen::gpu {

class TuneProgress {
public:
    virtual ~TuneProgress() = default;
    // Before the `step`-th measurement (from 1), at size `batch`; `steps` is the
    // most there can be (0 when not known); `bestBatch` is 0 before any rate.
    virtual void measuring(int step, int steps, int batch, int bestBatch, double bestRate) = 0;
    // Before the tuner writes a line of its own, and once at the end.
    virtual void clear() = 0;
};

// One line redrawn in place on a terminal, cleared before the tuner's own
// lines; nothing at all otherwise.
class ConsoleTuneProgress : public TuneProgress {
public:
    ConsoleTuneProgress(int gpu, std::FILE* out, bool terminal);
    void measuring(int step, int steps, int batch, int bestBatch, double bestRate) override;
    void clear() override;

private:
    const int gpu_;
    std::FILE* const out_;
    const bool terminal_;
    bool drawn_ = false;
};

// How many sizes the tuner measures at most from size `batch` on, that one included,
// when every step gains enough; 0 when that cannot be told.
int planned_steps(int batch, int maxBatch, double stepFactor);

}  // namespace quorlen::gpu
