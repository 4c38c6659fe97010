// Speed of our fingerprint engine on drawn ridge patterns: extraction per image
// size, one comparison, and one-to-many identification through template bytes
// as the modules run it.
#include <benchmark/benchmark.h>

#include <vector>

#include "SyntheticPrint.h"
#include "fp/Extractor.h"
#include "fp/Matcher.h"
#include "fp/Template.h"

namespace {

fptest::Image Finger(unsigned id, int width, int height, fptest::Placement moved = {}) {
    const int count = width * height / 4000;  // a real print's minutiae density
    return fptest::Render(fptest::RandomPattern(id, width, height, count, 28.f), width, height,
                          moved, 0);
}

fp::Features Extracted(const fptest::Image& img) {
    fp::Features f;
    fp::Extract({img.pixels.data(), img.width, img.height, img.width}, {}, f);
    return f;
}

void BM_Extract(benchmark::State& state) {
    const fptest::Image img =
        Finger(1, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    fp::Features f;
    for (auto _ : state) {
        fp::Extract({img.pixels.data(), img.width, img.height, img.width}, {}, f);
        benchmark::DoNotOptimize(f.minutiae.data());
    }
    state.counters["minutiae"] = static_cast<double>(f.minutiae.size());
}
BENCHMARK(BM_Extract)
    ->Args({256, 360})
    ->Args({388, 374})
    ->Args({500, 500})
    ->Args({1000, 1000})
    ->Unit(benchmark::kMillisecond);

void BM_CompareMated(benchmark::State& state) {
    const fp::PreparedPrint a = fp::Prepare(Extracted(Finger(2, 388, 374)));
    const fp::PreparedPrint b = fp::Prepare(Extracted(Finger(2, 388, 374, {0.3f, 10.f, -12.f})));
    int score = 0;
    for (auto _ : state) benchmark::DoNotOptimize(score = fp::Compare(a, b, {}).score);
    state.counters["score"] = score;
}
BENCHMARK(BM_CompareMated)->Unit(benchmark::kMicrosecond);

void BM_CompareNonMated(benchmark::State& state) {
    const fp::PreparedPrint a = fp::Prepare(Extracted(Finger(3, 388, 374)));
    const fp::PreparedPrint b = fp::Prepare(Extracted(Finger(4, 388, 374)));
    for (auto _ : state) benchmark::DoNotOptimize(fp::Compare(a, b, {}).score);
}
BENCHMARK(BM_CompareNonMated)->Unit(benchmark::kMicrosecond);

// One probe against a gallery of templates, as VfmIdentifyNext runs it.
// First argument 0: the matcher forgets the gallery before each pass, so every
// reference is decoded and prepared (cold); 1: the gallery stays prepared
// between passes (warm). Second argument: the matcher threshold, 0 (every
// score computed) or 80 (the adapter's: work that cannot reach it skipped).
void BM_Identify(benchmark::State& state) {
    const bool warm = state.range(0) != 0;
    std::vector<std::vector<std::uint8_t>> gallery;
    for (unsigned id = 10; id < 110; ++id)
        gallery.push_back(fp::EncodeTemplate(Extracted(Finger(id, 388, 374))));
    const std::vector<std::uint8_t> probe =
        fp::EncodeTemplate(Extracted(Finger(50, 388, 374, {0.2f, 5.f, 5.f})));
    fp::MatcherSettings settings;
    settings.threshold = static_cast<int>(state.range(1));
    fp::Matcher matcher(settings);
    for (auto _ : state) {
        if (!warm) matcher.ClearCache();
        matcher.IdentifyStart(probe.data(), probe.size());
        for (const auto& t : gallery) {
            int score = 0;
            matcher.IdentifyNext(t.data(), t.size(), score);
            benchmark::DoNotOptimize(score);
        }
        matcher.IdentifyEnd();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * gallery.size()));
}
BENCHMARK(BM_Identify)
    ->ArgNames({"warm", "threshold"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 80})
    ->Args({1, 80})
    ->Unit(benchmark::kMillisecond);

// Preparing one reference from its decoded template: the part of a cold
// comparison beyond decoding.
void BM_PrepareReference(benchmark::State& state) {
    const fp::Features f = Extracted(Finger(6, 388, 374));
    fp::PreparedPrint p;
    for (auto _ : state) {
        fp::PrepareInto(f, false, p);
        benchmark::ClobberMemory();
        benchmark::DoNotOptimize(p.minutiae());
    }
    state.counters["minutiae"] = static_cast<double>(f.minutiae.size());
}
BENCHMARK(BM_PrepareReference)->Unit(benchmark::kMicrosecond);

void BM_TemplateDecode(benchmark::State& state) {
    const std::vector<std::uint8_t> t = fp::EncodeTemplate(Extracted(Finger(5, 388, 374)));
    fp::Features f;
    for (auto _ : state) benchmark::DoNotOptimize(fp::DecodeTemplate(t.data(), t.size(), f));
}
BENCHMARK(BM_TemplateDecode)->Unit(benchmark::kMicrosecond);

}  // namespace
