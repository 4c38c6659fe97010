// One-to-many identification through the public interface, as an application
// runs it: KVT_MatchTemplate with the adapter's default settings (threshold
// 80) against a gallery of 100 templates that KVT_ExtractTemplate made from
// drawn prints. Warm: the gallery as the matcher already keeps it prepared.
// Cold: a gallery the matcher has not seen, every reference decoded and
// prepared (copies whose bytes differ, more of them than it keeps).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fp/Template.h"
#include "kvt/KVTBasic.h"
#include "support/BmpFile.h"

namespace {

constexpr unsigned kGallery = 100;
// Copies of the gallery for the cold runs: more templates than the matcher's
// 2048 cached references, so cycling through them finds none prepared.
constexpr unsigned kColdCopies = 24;

void KVT_CALLBACK Ignore(KVT_Message*, void*) {}

fptest::Image Finger(unsigned id, fptest::Placement placement = {}) {
    return fptest::Render(fptest::RandomPattern(id, 288, 320, 24, 28.f), 288, 320, placement, 0);
}

bool ExtractInto(const fptest::Image& image, KVT_Template& out) {
    std::vector<unsigned char> bmp = kvt_test::EncodeBmp(image, 8);
    KVT_CapturedData data{};
    data.size = sizeof data;
    data.image = bmp.data();
    data.imageSize = static_cast<unsigned int>(bmp.size());
    out = KVT_Template{};
    out.size = sizeof out;
    return KVT_ExtractTemplate(&data, &out) == KVT_RESULT_OK;
}

struct Setup {
    bool ok = false;
    std::string folder;  // the library's data folder, removed at the end
    KVT_Template probe{};
    std::vector<KVT_Template> gallery;
    std::vector<std::vector<KVT_Template>> copies;

    Setup() {
        char made[] = "/tmp/kvt-bench-XXXXXX";
        if (mkdtemp(made) == nullptr) return;
        folder = made;
        if (setenv("KVT_DATA_DIR", made, 1) != 0) return;
        if (KVT_Start(Ignore, nullptr) != KVT_RESULT_OK) return;
        gallery.resize(kGallery);
        for (unsigned i = 0; i < kGallery; ++i)
            if (!ExtractInto(Finger(700 + i), gallery[i])) return;
        if (!ExtractInto(Finger(737, {0.2f, 9.f, -7.f}), probe)) return;
        // Each copy changes one minutia's quality by one, which changes the
        // bytes (and checksum) but hardly the score.
        for (unsigned c = 0; c < kColdCopies; ++c) {
            std::vector<KVT_Template>& copy = copies.emplace_back(gallery);
            for (KVT_Template& t : copy) {
                fp::Features f;
                if (fp::DecodeTemplate(t.data, static_cast<std::size_t>(t.bytesEffective), f) !=
                        fp::TemplateError::None ||
                    f.minutiae.empty())
                    return;
                fp::Minutia& m = f.minutiae[c % f.minutiae.size()];
                m.quality =
                    static_cast<std::uint8_t>(m.quality > 50 ? m.quality - 1 : m.quality + 1);
                const std::vector<std::uint8_t> bytes = fp::EncodeTemplate(f);
                std::copy(bytes.begin(), bytes.end(), t.data);
                t.bytesEffective = static_cast<int>(bytes.size());
            }
        }
        ok = true;
    }
};

Setup& Shared() {
    static Setup setup;
    return setup;
}

void Identify(benchmark::State& state, const std::vector<KVT_Template>& gallery) {
    KVT_MatchResult result{};
    result.size = sizeof result;
    if (KVT_MatchTemplate(&Shared().probe, gallery.data(), kGallery, &result) != KVT_RESULT_OK ||
        result.index != 37)
        state.SkipWithError("the probe was not identified");
}

void BM_MatchTemplateWarm(benchmark::State& state) {
    Setup& s = Shared();
    if (!s.ok) return state.SkipWithError("the library or the gallery could not be set up");
    Identify(state, s.gallery);
    for (auto _ : state) Identify(state, s.gallery);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kGallery);
}
BENCHMARK(BM_MatchTemplateWarm)->Unit(benchmark::kMillisecond);

void BM_MatchTemplateCold(benchmark::State& state) {
    Setup& s = Shared();
    if (!s.ok) return state.SkipWithError("the library or the gallery could not be set up");
    std::size_t next = 0;
    for (auto _ : state) {
        Identify(state, s.copies[next]);
        next = (next + 1) % s.copies.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kGallery);
}
BENCHMARK(BM_MatchTemplateCold)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (KVT_IsRunning() == 0) KVT_Stop();
    std::error_code ignored;
    if (!Shared().folder.empty()) std::filesystem::remove_all(Shared().folder, ignored);
    return 0;
}
