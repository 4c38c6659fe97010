// One-to-many identification through the public interface, as an application
// runs it: KVT_MatchTemplate with the adapter's default settings (threshold
// 80) against a gallery of 100 templates that KVT_ExtractTemplate made from
// drawn prints. Warm: the gallery as the matcher already keeps it prepared.
// Cold: a gallery the matcher has not seen, every reference decoded and
// prepared (copies whose bytes differ, more of them than it keeps).
//
// KVT_BENCH_GALLERY=FOLDER takes the gallery from the fingerprint images in
// that folder instead (PGM, BMP, TIFF or PNG, as kvt-accuracy reads them; the
// first image that gives a template, sorted by name, is the probe), so
// identification can be timed on real prints of a sensor's size and minutiae
// counts.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ImageFiles.h"

#include "fp/Template.h"
#include "kvt/KVTBasic.h"
#include "support/BmpFile.h"

namespace {

constexpr unsigned kDrawnGallery = 100;
// The matcher's cached references: the copies of the gallery for the cold
// runs hold more templates than that, so cycling through them finds none
// prepared.
constexpr std::size_t kCachedReferences = 2048;

void KVT_CALLBACK Ignore(KVT_Message*, void*) {}

fptest::Image Finger(unsigned id, fptest::Placement placement = {}) {
    return fptest::Render(fptest::RandomPattern(id, 288, 320, 24, 28.f), 288, 320, placement, 0);
}

// The images of a folder, sorted by name; those that cannot be read are skipped.
std::vector<fptest::Image> ReadFolder(const char* folder) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.is_regular_file()) paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    std::vector<fptest::Image> images;
    for (const std::string& path : paths) {
        accuracy::GreyImage grey;
        std::string error;
        if (!accuracy::ReadGreyImage(path, grey, error)) continue;
        images.push_back({grey.width, grey.height, std::move(grey.pixels)});
    }
    return images;
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
    int expected = 37;  // the gallery entry the probe is identified as

    Setup() {
        char made[] = "/tmp/kvt-bench-XXXXXX";
        if (mkdtemp(made) == nullptr) return;
        folder = made;
        if (setenv("KVT_DATA_DIR", made, 1) != 0) return;
        if (KVT_Start(Ignore, nullptr) != KVT_RESULT_OK) return;
        if (const char* folder = std::getenv("KVT_BENCH_GALLERY")) {
            const std::vector<fptest::Image> images = ReadFolder(folder);
            // A picture that gives no template is left out of the gallery.
            for (std::size_t i = 0; i < images.size(); ++i) {
                KVT_Template t;
                if (ExtractInto(images[i], t)) {
                    gallery.push_back(t);
                } else {
                    std::fprintf(stderr, "no template from picture %zu of %s (sorted by name)\n",
                                 i + 1, folder);
                }
            }
            if (gallery.size() < 2) return;
            probe = gallery[0];
            expected = 0;
        } else {
            gallery.resize(kDrawnGallery);
            for (unsigned i = 0; i < kDrawnGallery; ++i)
                if (!ExtractInto(Finger(700 + i), gallery[i])) return;
            if (!ExtractInto(Finger(737, {0.2f, 9.f, -7.f}), probe)) return;
        }
        // Each copy changes one minutia's quality a little, which changes the
        // bytes (and checksum) but hardly the score; no two copies of a
        // template change the same minutia by the same amount, or a print
        // with fewer minutiae than copies would repeat and be found prepared.
        const std::size_t coldCopies = kCachedReferences / gallery.size() + 2;
        for (std::size_t c = 0; c < coldCopies; ++c) {
            std::vector<KVT_Template>& copy = copies.emplace_back(gallery);
            for (KVT_Template& t : copy) {
                fp::Features f;
                if (fp::DecodeTemplate(t.data, static_cast<std::size_t>(t.bytesEffective), f) !=
                        fp::TemplateError::None ||
                    f.minutiae.empty())
                    return;
                fp::Minutia& m = f.minutiae[c % f.minutiae.size()];
                const int by = 1 + static_cast<int>(c / f.minutiae.size());
                m.quality =
                    static_cast<std::uint8_t>(m.quality > 50 ? m.quality - by : m.quality + by);
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
    if (KVT_MatchTemplate(&Shared().probe, gallery.data(), static_cast<int>(gallery.size()),
                          &result) != KVT_RESULT_OK ||
        result.index != Shared().expected)
        state.SkipWithError("the probe was not identified");
}

void BM_MatchTemplateWarm(benchmark::State& state) {
    Setup& s = Shared();
    if (!s.ok) return state.SkipWithError("the library or the gallery could not be set up");
    Identify(state, s.gallery);
    for (auto _ : state) Identify(state, s.gallery);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(s.gallery.size()));
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
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(s.gallery.size()));
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
