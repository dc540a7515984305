#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

#include "gpu/autotune.h"
#include "gpu/batch_pipeline.h"
#include "gpu/gpu_hasher.h"
#include "gpu/self_test.h"
#include "gpu/tune_progress.h"
#include "hasher_fixture.h"
#include "support/device.h"
#include "support/faulty_hasher.h"
#include "support/reference_argon2.h"
#include "support/scratch.h"

using namespace quorlen::gpu;

namespace {

std::string hex(const std::vector<std::uint8_t>& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (auto c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

// A scripted device: rates by batch size, failures by batch size.
struct Script {
    std::map<int, double> rates;
    std::map<int, std::string> failures;  // what() of the exception thrown
    std::vector<int> measured;
    int resets = 0;
    double operator()(int B) {
        measured.push_back(B);
        auto f = failures.find(B);
        if (f != failures.end()) throw std::runtime_error(f->second);
        auto r = rates.find(B);
        return r == rates.end() ? 100.0 + B : r->second;
    }
};

struct Tuned {
    int batch;
    std::string log;
};

Tuned tune(Script& script, TuneSettings s, std::optional<std::size_t> freeBytes = std::nullopt) {
    std::ostringstream log;
    int b = tune_batch(s, freeBytes, std::ref(script), [&] { ++script.resets; }, log);
    return {b, log.str()};
}

const TuneSettings kDefaults{128, 2048, 1.15, 8, 3, 0.02};

}  // namespace

TEST_F(Hasher, DigestsAreTheReferenceArgon2idInHex) {
    std::vector<std::string> in = {"", "{\"msg\":\"warmup\"}", "abc"};
    for (std::size_t initial : {0u, 10u}) {
        std::vector<std::string> out(initial, "stale");
        hasher.hash_batch(in, out);
        ASSERT_EQ(out.size(), 3u);
        for (std::size_t i = 0; i < in.size(); ++i) {
            EXPECT_EQ(out[i], hex(reference_argon2(Argon2Case{}, in[i])));
            EXPECT_EQ(out[i].find_first_not_of("0123456789abcdef"), std::string::npos);
        }
    }
    std::vector<std::string> same(3, "same"), out;
    hasher.hash_batch(same, out);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[1], out[2]);
    std::vector<std::string> none, cleared(4, "x");
    hasher.hash_batch(none, cleared);
    EXPECT_TRUE(cleared.empty());
}

TEST_F(Hasher, UnitIsCachedPerBatchSizeAndResetDropsEverything) {
    std::vector<std::string> two(2, "a"), three(3, "b"), out;
    hasher.hash_batch(two, out);
    hasher.hash_batch(two, out);
    EXPECT_EQ(hasher.units_built(), 1u);
    EXPECT_EQ(hasher.programs_built(), 1u);
    hasher.hash_batch(three, out);
    EXPECT_EQ(hasher.units_built(), 2u);
    EXPECT_EQ(hasher.unit_batch(), 3u);
    hasher.hash_batch(two, out);
    EXPECT_EQ(hasher.units_built(), 3u);
    hasher.reset();
    EXPECT_EQ(hasher.unit_batch(), 0u);
    hasher.hash_batch(two, out);
    EXPECT_EQ(hasher.units_built(), 4u);
    EXPECT_EQ(hasher.programs_built(), 2u);
    EXPECT_EQ(out[0], hex(reference_argon2(Argon2Case{}, "a")));
}

TEST_F(Hasher, SelfTestPassesOnlyWhenTheDeviceAgreesWithTheCpu) {
    EXPECT_EQ(hasher.cpu_hash("abc"), hex(reference_argon2(Argon2Case{}, "abc")));
    std::vector<std::string> out;
    hasher.hash_batch({"x"}, out);
    EXPECT_EQ(self_test(hasher), "");
    EXPECT_EQ(hasher.unit_batch(), 0u);  // reset for tuning

    FaultyHasher faulty(&first_device(global), true, false);
    faulty.init(global);
    faulty.fault = FaultyHasher::Fault::WrongDigest;
    EXPECT_EQ(self_test(faulty), "text 0 (0 bytes): device " + std::string(64, '0') + ", CPU " + hasher.cpu_hash(""));
    faulty.fault = FaultyHasher::Fault::DeviceLost;
    EXPECT_EQ(self_test(faulty), "error: an illegal memory access was encountered");
}

// Batches through the pipeline, two in flight, give what one hash_batch call
// and libargon2 give for the whole texts: shared starts that end inside and
// on a BLAKE2b block, rests of several lengths in one batch, repeated texts.
TEST_F(Hasher, PipelinedDigestsMatchOneCallAndTheReference) {
    BatchPipeline pipeline(hasher);
    const std::vector<std::string> prefixes = {"", std::string(100, 'p'), "{\"timestamp\":1," + std::string(5000, 't')};
    const std::vector<std::vector<std::string>> rests = {
        {"1", "22", "1", "", "4444"}, {"", "", "", "", ""}, {"a", "bcd", "efghij", std::string(300, 'r'), "a"}};
    std::vector<std::string> outputs, oneCall;
    std::vector<std::vector<std::string>> texts, digests;
    std::size_t submitted = 0;
    auto submit = [&] {
        SharedPrefixBatch& next = pipeline.next();
        next.prefix = prefixes[submitted % 3];
        next.rests = rests[submitted % 3];
        pipeline.submit();
        ++submitted;
    };
    submit();
    while (texts.size() < 6) {
        if (submitted < 6) submit();
        EXPECT_EQ(pipeline.in_flight(), submitted - texts.size());
        const SharedPrefixBatch& done = pipeline.collect(outputs);
        texts.emplace_back();
        for (std::size_t i = 0; i < done.rests.size(); ++i) texts.back().push_back(done.text(i));
        digests.push_back(outputs);
    }
    // The unit is the pipeline's while batches are in flight; now it is free.
    for (std::size_t b = 0; b < texts.size(); ++b) {
        ASSERT_EQ(texts[b].size(), rests[b % 3].size());
        EXPECT_EQ(texts[b][0], prefixes[b % 3] + rests[b % 3][0]);
        hasher.hash_batch(texts[b], oneCall);
        EXPECT_EQ(digests[b], oneCall) << "batch " << b;
        for (std::size_t i = 0; i < texts[b].size(); ++i)
            EXPECT_EQ(digests[b][i], hex(reference_argon2(Argon2Case{}, texts[b][i]))) << "batch " << b;
    }
    EXPECT_EQ(hasher.units_built(), 1u);  // one unit of 5 for the pipeline and the calls
}

TEST_F(Hasher, PipelineRefusesWhatItCannotHold) {
    BatchPipeline pipeline(hasher);
    std::vector<std::string> outputs(3, "stale");
    EXPECT_THROW(pipeline.collect(outputs), std::logic_error);
    pipeline.next().rests.clear();  // an empty batch gives no digests
    pipeline.submit();
    pipeline.collect(outputs);
    EXPECT_TRUE(outputs.empty());
    for (int i = 0; i < 2; ++i) {
        pipeline.next().rests = {"x", "y"};
        pipeline.submit();
    }
    EXPECT_THROW(pipeline.next(), std::logic_error);
    EXPECT_THROW(pipeline.submit(), std::logic_error);
    pipeline.discard();
    EXPECT_EQ(pipeline.in_flight(), 0u);
    pipeline.next().rests = {"x", "y", "z"};  // nothing in flight: a new size is fine
    pipeline.submit();
    pipeline.collect(outputs);
    EXPECT_EQ(outputs[2], hex(reference_argon2(Argon2Case{}, "z")));
}

TEST_F(Hasher, MeasureCountsWholeBatchesAndStopsOnRequest) {
    double rate = measure(hasher, 2, 1, 0);
    EXPECT_GT(rate, 0.0);
    EXPECT_EQ(std::fmod(rate, 2.0), 0.0);  // whole batches of 2 over 1 second
    const std::atomic<bool> stop{true};
    EXPECT_EQ(measure(hasher, 2, 1, 1, &stop), 0.0);
    EXPECT_THROW(measure(hasher, -1, 1, 0), std::exception);
}

TEST_F(Hasher, AutotuneRefusesWhatCannotBeMeasured) {
    EXPECT_THROW(autotune_batch(hasher, 0, 8, 1.15, 1, 0, 0.02), std::invalid_argument);
    EXPECT_THROW(autotune_batch(hasher, 8, 8, 1.15, 0, 0, 0.02), std::invalid_argument);
    EXPECT_THROW(autotune_batch(hasher, 8, 8, 1.15, -3, 0, 0.02), std::invalid_argument);
}

TEST_F(Hasher, AutotuneOnTheHostEndsReset) {
    testing::internal::CaptureStderr();
    int b = autotune_batch(hasher, 1, 2, 2.0, 1, 0, -1.0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(b, 2);
    EXPECT_EQ(hasher.unit_batch(), 0u);
    EXPECT_NE(log.find("[tune] B=1 -> "), std::string::npos) << log;
    EXPECT_NE(log.find("[tune] best BATCH=2 ("), std::string::npos) << log;
}

TEST(TuneBatch, DefaultsGrowToTheBound) {
    Script s;
    for (int b : {128, 148, 171, 197, 227, 262, 302, 348, 401, 462, 532, 612, 704, 810, 932, 1072, 1233, 1418, 1631,
                  1876, 2048})
        s.rates[b] = b * 10.0;  // rate proportional to size: gain always large
    Tuned t = tune(s, kDefaults);
    EXPECT_EQ(t.batch, 2048);
    EXPECT_EQ(s.measured.size(), 21u);
    EXPECT_EQ(s.measured.back(), 2048);
    EXPECT_EQ(s.measured[1], 148);
    EXPECT_EQ(s.resets, 21);  // before each growth step and once at the end
    EXPECT_NE(t.log.find("[tune] B=128 -> 1280 H/s\n[tune] B=148 -> 1480 H/s\n"), std::string::npos);
    EXPECT_NE(t.log.find("[tune] best BATCH=2048 (20480 H/s)\n"), std::string::npos);
    // An infinite factor: the next size is the bound.
    Script leap;
    EXPECT_EQ(tune(leap, {128, 2048, HUGE_VAL, 8, 3, 0.02}).batch, 2048);
    EXPECT_EQ(leap.measured, (std::vector<int>{128, 2048}));
    EXPECT_EQ(planned_steps(128, 2048, HUGE_VAL), 2);
}

TEST(TuneBatch, MemoryCap) {
    Script s;
    Tuned t = tune(s, kDefaults, std::size_t(8) << 30);  // 8 GiB free: 435 hashes
    EXPECT_EQ(t.log.rfind("[tune] VRAM cap -> maxBatch=435\n", 0), 0u) << t.log;
    EXPECT_EQ(s.measured.back(), 435);
    Script tiny;
    Tuned small = tune(tiny, {20, 2048, 1.15, 8, 3, 0.02}, std::size_t(1) << 20);
    EXPECT_NE(small.log.find("maxBatch=8\n"), std::string::npos);  // at least 8
    EXPECT_EQ(tiny.measured.front(), 20);                         // the cap never lowers the start
    Script roomy;
    EXPECT_EQ(tune(roomy, {128, 200, 1.15, 8, 3, 0.02}, std::size_t(64) << 30).log.find("VRAM"), std::string::npos);
}

TEST(TuneBatch, StartAboveTheBound) {
    Script s;
    Tuned t = tune(s, {300, 200, 1.15, 8, 3, 0.02});
    EXPECT_EQ(s.measured, (std::vector<int>{300, 200}));
    EXPECT_EQ(t.batch, 200);
}

TEST(TuneBatch, FirstMeasurementFallback) {
    Script a;
    a.failures[20] = "boom";
    tune(a, {20, 2048, 1.0, 8, 3, 0.02});
    EXPECT_EQ(a.measured, (std::vector<int>{20, 10}));
    Script b;
    b.failures[17] = "boom";
    Tuned tb = tune(b, {17, 2048, 1.0, 8, 3, 0.02});
    EXPECT_EQ(b.measured, (std::vector<int>{17, 8}));
    EXPECT_EQ(tb.log.find("boom"), std::string::npos);  // never reported as such
    Script c;
    c.failures[-4] = "negative";
    EXPECT_EQ(tune(c, {-4, 2048, 1.0, 8, 3, 0.02}).batch, 8);
    Script d;
    d.failures[64] = "first";
    d.failures[32] = "second";
    EXPECT_THROW(tune(d, {64, 2048, 1.15, 8, 3, 0.02}), TuneError);
}

TEST(TuneBatch, FactorsOfOneAndBelow) {
    Script one;
    EXPECT_EQ(tune(one, {128, 2048, 1.0, 8, 3, 0.02}).batch, 128);
    EXPECT_EQ(one.measured.size(), 1u);
    Script shrink;
    shrink.rates = {{100, 100}, {50, 200}, {25, 201}};
    EXPECT_EQ(tune(shrink, {100, 2048, 0.5, 8, 3, 0.02}).batch, 25);
    EXPECT_EQ(shrink.measured, (std::vector<int>{100, 50, 25}));
}

TEST(TuneBatch, GainRules) {
    Script slow;  // below 1 H/s the gain is absolute: 0.01 < 0.02 stops, larger size chosen
    slow.rates = {{8, 0.5}, {10, 0.51}};
    Tuned t = tune(slow, {8, 2048, 1.15, 8, 3, 0.02});
    EXPECT_EQ(t.batch, 10);
    EXPECT_EQ(slow.measured.size(), 2u);
    EXPECT_NE(t.log.find("[tune] B=8 -> 0 H/s\n"), std::string::npos);

    Script tie;  // a gain equal to the tolerance goes on
    tie.rates = {{100, 1000}, {200, 1500}, {400, 1500}};
    EXPECT_EQ(tune(tie, {100, 2048, 2.0, 8, 3, 0.5}).batch, 400);
    EXPECT_EQ(tie.measured, (std::vector<int>{100, 200, 400}));

    Script worse;  // no step back: the worse size just measured is chosen
    worse.rates = {{100, 1000}, {200, 900}};
    EXPECT_EQ(tune(worse, {100, 2048, 2.0, 8, 3, 0.02}).batch, 200);

    Script frac;
    frac.rates = {{100, 1234.9}, {115, 1234.9}};
    Tuned f = tune(frac, {100, 2048, 1.15, 8, 3, 0.02});
    EXPECT_NE(f.log.find("[tune] B=100 -> 1234 H/s\n"), std::string::npos);
    EXPECT_NE(f.log.find("[tune] best BATCH=115 (1234 H/s)\n"), std::string::npos);
}

TEST(TuneBatch, GrowthFailures) {
    Script oom;
    oom.rates = {{462, 4620}};
    oom.failures[532] = "cudaMalloc: out of memory";
    Tuned t = tune(oom, {462, 2048, 1.15, 8, 3, 0.02});
    EXPECT_EQ(t.batch, 462);
    EXPECT_NE(t.log.find("[tune] B=532 -> OOM, stop grow\n[tune] best BATCH=462 (4620 H/s)\n"), std::string::npos)
        << t.log;
    Script other;
    other.failures[532] = "launch failed";
    EXPECT_NE(tune(other, {462, 2048, 1.15, 8, 3, 0.02}).log.find("[tune] B=532 -> error: launch failed\n"),
              std::string::npos);
    Script weird;
    auto thrower = [&](int B) -> double {
        if (B > 10) throw 42;
        return 1.0;
    };
    std::ostringstream log;
    EXPECT_THROW(tune_batch({10, 100, 2.0, 1, 0, 0.02}, std::nullopt, thrower, [] {}, log), TuneError);
}

TEST(TuneBatch, StopRequestEndsGrowth) {
    Script s;
    const std::atomic<bool> stop{true};
    TuneSettings settings = kDefaults;
    settings.stop = &stop;
    Tuned t = tune(s, settings);
    EXPECT_EQ(t.batch, 128);
    EXPECT_EQ(s.measured.size(), 1u);
}

namespace {

// Writes what the display is told into the tuner's own log, so that the
// order of both shows.
struct LoggedProgress : TuneProgress {
    std::ostream& log;
    explicit LoggedProgress(std::ostream& l) : log(l) {}
    void measuring(int step, int steps, int B, int bestB, double bestRate) override {
        log << "<" << step << "/" << steps << " B=" << B << " best=" << bestB << "@" << bestRate << ">";
    }
    void clear() override { log << "<clear>"; }
};

}  // namespace

TEST(TuneBatch, ProgressShowsEveryStepAndIsClearedBeforeEachLine) {
    Script s;
    s.rates = {{128, 1280}, {148, 1000}};
    std::ostringstream log;
    LoggedProgress progress(log);
    EXPECT_EQ(tune_batch(kDefaults, std::nullopt, std::ref(s), [] {}, log, &progress), 148);
    EXPECT_EQ(log.str(),
              "<1/21 B=128 best=0@0><clear>[tune] B=128 -> 1280 H/s\n"
              "<2/21 B=148 best=128@1280><clear>[tune] B=148 -> 1000 H/s\n"
              "[tune] best BATCH=148 (1000 H/s)\n");
    // A failed first measurement and a failed growth step are cleared too;
    // the best so far is the best rate seen, not the last.
    Script f;
    f.failures = {{17, "first failure"}, {20, "launch failed"}};
    f.rates = {{8, 80}};
    std::ostringstream flog;
    LoggedProgress fprogress(flog);
    EXPECT_EQ(tune_batch({17, 100, 2.5, 1, 0, 0.02}, std::nullopt, std::ref(f), [] {}, flog, &fprogress), 8);
    EXPECT_EQ(flog.str(),
              "<1/3 B=17 best=0@0><clear><2/5 B=8 best=0@0><clear>[tune] B=8 -> 80 H/s\n"
              "<3/5 B=20 best=8@80><clear>[tune] B=20 -> error: launch failed\n[tune] best BATCH=8 (80 H/s)\n");
    EXPECT_EQ(planned_steps(128, 2048, 1.15), 21);
    EXPECT_EQ(planned_steps(300, 200, 1.15), 2);
    EXPECT_EQ(planned_steps(8, 8, 2.0), 1);
    EXPECT_EQ(planned_steps(5, 100, 1.0), 1);
    EXPECT_GT(planned_steps(1000, 2048, 0.5), 1);
    EXPECT_EQ(planned_steps(2, 8, -1e300), 0);  // no size an int holds
}

TEST(TuneBatch, ConsoleProgressRedrawsOnATerminalAndWritesNothingElsewhere) {
    std::FILE* tty = std::tmpfile();
    ConsoleTuneProgress onTty(1, tty, true);
    onTty.measuring(1, 21, 128, 0, 0);
    onTty.measuring(2, 21, 148, 128, 1280.9);
    onTty.clear();
    onTty.clear();  // nothing left to clear
    EXPECT_EQ(read_back(tty),
              "\r[tune] GPU#1 step 1/21: measuring B=128\033[K"
              "\r[tune] GPU#1 step 2/21: measuring B=148, best so far 1280 H/s at B=128\033[K\r\033[K");
    std::FILE* file = std::tmpfile();
    ConsoleTuneProgress inFile(0, file, false);
    inFile.measuring(3, 0, 8, 4, 10);
    inFile.clear();
    EXPECT_EQ(read_back(file), "");
    std::fclose(tty);
    std::fclose(file);
}
