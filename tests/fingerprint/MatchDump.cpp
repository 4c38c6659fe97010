// Prints every comparison of a fixed set of prints, to the last bit: built once
// with the matcher's vector paths and once with its plain C++ paths
// (FP_MATCHER_PORTABLE), the two outputs must be the same (see CMakeLists.txt).
#include <cstdio>
#include <vector>

#include "PrintLayout.h"
#include "RandomFeatures.h"
#include "SyntheticPrint.h"
#include "fp/Extractor.h"
#include "fp/Matcher.h"
#include "fp/Template.h"

namespace {

fp::Features Extracted(unsigned id, int width, int height, fptest::Placement moved = {}) {
    const fptest::Image img =
        fptest::Render(fptest::RandomPattern(id, width, height, width * height / 4000, 28.f), width,
                       height, moved, 0);
    fp::Features f;
    fp::Extract({img.pixels.data(), img.width, img.height, img.width}, {}, f);
    return f;
}

void Print(const char* what, std::size_t a, std::size_t b, const fp::Comparison& c) {
    std::printf("%s %zu %zu %a %d %d %a %a %a %a\n", what, a, b, c.similarity, c.score, c.matched,
                static_cast<double>(c.agreement), static_cast<double>(c.rotation),
                static_cast<double>(c.dx), static_cast<double>(c.dy));
}

}  // namespace

int main() {
    std::vector<fp::Features> prints;
    for (unsigned id : {3u, 4u, 5u}) {
        prints.push_back(Extracted(id, 388, 374));
        prints.push_back(Extracted(id, 388, 374, {0.25f, 12.f, -9.f}));
    }
    prints.push_back(Extracted(6, 256, 360));
    prints.push_back(Extracted(6, 256, 360, {-0.4f, -6.f, 14.f}));
    fp::Features small = prints[1];  // a small template: no mask, no grid
    small.mask = {};
    small.orientation = {};
    prints.push_back(small);
    // Many minutiae, for the paths that only long lists take.
    prints.push_back(fptest::RandomFeatures(7, 250, 500, 520, 40));
    prints.push_back(fptest::RandomFeatures(7, 240, 500, 520, 40));

    std::vector<fp::PreparedPrint> prepared;
    for (const fp::Features& f : prints) prepared.push_back(fp::Prepare(f));
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        const fp::detail::PrintLayout& p = *prepared[i].layout();
        for (std::size_t k = 0; k < p.neighbourhoods.size(); ++k) {
            const auto& n = p.neighbourhoods[k];
            std::printf("hood %zu %zu %d", i, k, n.count);
            for (int j = 0; j < n.count; ++j)
                std::printf(" %a/%d/%d", static_cast<double>(n.distance[j]), n.bearing[j],
                            n.turn[j]);
            for (auto cells : {p.cells[2 * k], p.cells[2 * k + 1], p.spreadCells[2 * k],
                               p.spreadCells[2 * k + 1]})
                std::printf(" %llx", static_cast<unsigned long long>(cells));
            std::printf("\n");
        }
    }
    for (int rotation : {32, 128}) {
        const fp::MatcherSettings settings{.maxRotation = rotation};
        for (std::size_t a = 0; a < prepared.size(); ++a)
            for (std::size_t b = 0; b < prepared.size(); ++b)
                Print(rotation == 32 ? "compare" : "compare-any-rotation", a, b,
                      fp::Compare(prepared[a], prepared[b], settings));
    }
    // Through template bytes, with and without a threshold.
    for (int threshold : {0, 48}) {
        fp::Matcher matcher({.threshold = threshold});
        for (std::size_t a = 0; a < prints.size(); ++a) {
            const std::vector<std::uint8_t> probe = fp::EncodeTemplate(prints[a]);
            matcher.IdentifyStart(probe.data(), probe.size());
            for (std::size_t b = 0; b < prints.size(); ++b) {
                const std::vector<std::uint8_t> ref = fp::EncodeTemplate(prints[b]);
                int score = -1;
                matcher.IdentifyNext(ref.data(), ref.size(), score);
                std::printf("identify %d %zu %zu %d\n", threshold, a, b, score);
            }
            matcher.IdentifyEnd();
        }
    }
    return 0;
}
