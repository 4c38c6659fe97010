// Costs of the fingerprint synthesizer: a master print (target: under a
// second), an impression from a cached master (target: under 20 ms), the
// cross-polarised frame, and a whole sensor frame through the image source.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "sim/FingerprintSynth.h"
#include "sim/MasterGenerator.h"

using namespace kvt::sim;

namespace {

void BM_MasterPrint(benchmark::State& state) {
    uint32_t id = 1000;
    for (auto _ : state) {
        MasterPrint m = GenerateMaster(0, id++);
        benchmark::DoNotOptimize(m.ridge.data());
    }
}
BENCHMARK(BM_MasterPrint)->Unit(benchmark::kMillisecond);

// Finger 11, a smooth arch, is grown again before it has minutiae enough:
// a master print that costs more than most.
void BM_MasterPrintGrownAgain(benchmark::State& state) {
    for (auto _ : state) {
        MasterPrint m = GenerateMaster(0, 11);
        benchmark::DoNotOptimize(m.ridge.data());
    }
}
BENCHMARK(BM_MasterPrintGrownAgain)->Unit(benchmark::kMillisecond);

void BM_Impression(benchmark::State& state) {
    const MasterPrint m = GenerateMaster(0, 7);
    uint32_t k = 0;
    for (auto _ : state) {
        Impression imp = RenderImpression(m, 0, k++, kGeometryRoi);
        benchmark::DoNotOptimize(imp.upright.data());
    }
}
BENCHMARK(BM_Impression)->Unit(benchmark::kMillisecond);

void BM_ImpressionFull(benchmark::State& state) {
    const MasterPrint m = GenerateMaster(0, 7);
    uint32_t k = 0;
    for (auto _ : state) {
        Impression imp = RenderImpression(m, 0, k++, kGeometryFull);
        benchmark::DoNotOptimize(imp.upright.data());
    }
}
BENCHMARK(BM_ImpressionFull)->Unit(benchmark::kMillisecond);

void BM_CrossFrame(benchmark::State& state) {
    FingerprintSynth synth(0, 4);
    const Impression imp = synth.Render(7, 0, kGeometryRoi);
    uint32_t k = 0;
    for (auto _ : state) {
        std::vector<uint8_t> cross = synth.CrossFrame(imp, 7, k++, true);
        benchmark::DoNotOptimize(cross.data());
    }
}
BENCHMARK(BM_CrossFrame)->Unit(benchmark::kMillisecond);

// What an emulated sensor pays per capture with LFD: frame 1 + frame 2 from a
// cached master.
void BM_SourceFrameWithCross(benchmark::State& state) {
    SynthImageSource source;
    FrameRequest r;
    r.fingerId = 7;
    r.crossFrame = true;
    source.Frame(r);  // master into the cache
    for (auto _ : state) {
        ++r.impression;
        std::vector<uint8_t> frames = source.Frame(r);
        benchmark::DoNotOptimize(frames.data());
    }
}
BENCHMARK(BM_SourceFrameWithCross)->Unit(benchmark::kMillisecond);

}  // namespace
