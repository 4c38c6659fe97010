// Extraction on drawn ridge patterns whose minutiae we know.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "RandomFeatures.h"
#include "SyntheticPrint.h"
#include "fp/Extractor.h"

namespace {

using fptest::Pattern;
using fptest::Render;
using fptest::Singularity;

using fptest::kPi;

fp::ExtractStatus ExtractImage(const fptest::Image& img, fp::Features& out,
                               const fp::ExtractorSettings& settings = {}) {
    return fp::Extract({img.pixels.data(), img.width, img.height, img.width}, settings, out);
}

// A plain LCG: scenes that stay the same on every standard library.
unsigned Next(unsigned& state) {
    return (state = state * 1103515245u + 12345u) >> 8;
}

// The minutia nearest to (x, y), and how far it is.
std::pair<const fp::Minutia*, float> Nearest(const fp::Features& f, float x, float y) {
    std::pair<const fp::Minutia*, float> best{nullptr, 1e9f};
    for (const fp::Minutia& m : f.minutiae)
        if (const float d = std::hypot(m.x - x, m.y - y); d < best.second) best = {&m, d};
    return best;
}

// Four singularities on horizontal ridges. The extra ridge line opens to the
// right for sign +1 and to the left for -1. If the line running into that side
// from the singularity is dark, a ridge ends there; if it is light, a ridge
// forks around it. Either way the minutia points to the other side.
TEST(Extractor, FindsPlantedMinutiaeWithTypeAndDirection) {
    Pattern p;
    p.period = 9.f;
    const float k = 2 * kPi / p.period;
    const float rowA = 9.f * 10, rowB = 9.f * 22 + 4.5f;
    p.singularities = {{100, rowA, 1}, {200, rowA, -1}, {100, rowB, 1}, {200, rowB, -1}};
    const fptest::Image img = Render(p, 300, 300, {}, 40);
    fp::Features f;
    ASSERT_EQ(ExtractImage(img, f), fp::ExtractStatus::Ok);

    int endings = 0;
    for (const Singularity& s : p.singularities) {
        const float side = s.sign > 0 ? 4.f : -4.f;
        float phase = k * s.y;
        for (const Singularity& o : p.singularities)
            phase += o.sign * std::atan2(s.y - o.y, s.x + side - o.x);
        const bool ridgeEnds = std::cos(phase) < 0;
        endings += ridgeEnds;
        SCOPED_TRACE(testing::Message() << "at " << s.x << "," << s.y);
        const auto [m, distance] = Nearest(f, s.x, s.y);
        ASSERT_NE(m, nullptr);
        EXPECT_LT(distance, 6.f);
        EXPECT_EQ(m->type, ridgeEnds ? fp::MinutiaType::Ending : fp::MinutiaType::Bifurcation);
        EXPECT_LE(fptest::AngleDistance(m->direction, s.sign > 0 ? 128 : 0), 14);  // 20 degrees
    }
    ASSERT_EQ(endings, 2) << "the rows were meant to give both types";
    // Clean ridges must not produce minutiae of their own. A print this sparse
    // also gets those near its edge, where the drawn ridges stop.
    int inside = 0;
    for (const fp::Minutia& m : f.minutiae)
        inside += m.x > 60 && m.y > 60 && m.x < 240 && m.y < 240;
    EXPECT_LE(inside, static_cast<int>(p.singularities.size()) + 1);
    EXPECT_TRUE(f.width == 300 && f.height == 300);
    ASSERT_GT(f.mask.columns, 0);
    EXPECT_TRUE(f.mask.At(f.mask.columns / 2, f.mask.rows / 2));
    EXPECT_FALSE(f.mask.At(0, 0));  // the light border is background
}

// Whether `percent` of the pattern's singularities inside [lo, hi) have a
// minutia of `f` within `tolerance`, with image coordinates multiplied by `scale`.
testing::AssertionResult FoundNear(const fp::Features& f, const Pattern& p, float lo, float hi,
                                   float scale, float tolerance, int percent) {
    int found = 0, counted = 0;
    for (const Singularity& s : p.singularities) {
        if (s.x < lo || s.y < lo || s.x >= hi || s.y >= hi) continue;
        ++counted;
        found += Nearest(f, s.x * scale, s.y * scale).second < tolerance;
    }
    if (counted > 0 && found >= counted * percent / 100) return testing::AssertionSuccess();
    return testing::AssertionFailure() << found << " of " << counted << " planted minutiae found";
}

Pattern Scaled(Pattern p, float scale) {
    p.period *= scale;
    p.bend /= scale * scale;  // the bend term is quadratic in the coordinates
    for (Singularity& s : p.singularities) s.x *= scale, s.y *= scale;
    return p;
}

// A sensor of higher resolution shows the same finger larger, with wider
// ridges; the features must come out as if it had been taken at 500 dpi.
TEST(Extractor, WideRidgesAreBroughtToTheUsualScale) {
    Pattern p = fptest::RandomPattern(31, 300, 300, 14, 45.f);
    p.period = 9.f;
    fp::Features usual, wide;
    ASSERT_EQ(ExtractImage(Render(p, 300, 300, {}, 0), usual), fp::ExtractStatus::Ok);
    EXPECT_EQ(usual.width, 300) << "a usual ridge period must not be rescaled";

    // 700 dpi.
    ASSERT_EQ(ExtractImage(Render(Scaled(p, 1.4f), 420, 420, {}, 0), wide), fp::ExtractStatus::Ok);
    // Brought back to the widest usual ridge period (10 pixels), give or take
    // the measurement: far smaller than the image, not smaller than the usual print.
    EXPECT_TRUE(wide.width < 300 * 10 / 9 * 1.05f && wide.width > 300 * 0.97f) << wide.width;
    EXPECT_EQ(std::tuple(wide.height, wide.resolution), std::tuple(wide.width, 500));
    EXPECT_EQ(wide.mask.columns, (wide.width + wide.mask.cell - 1) / wide.mask.cell);

    // The planted minutiae sit where the rescaling puts them, in both prints.
    EXPECT_TRUE(FoundNear(usual, p, 30, 270, 1.f, 7.f, 75));
    EXPECT_TRUE(FoundNear(wide, p, 30, 270, static_cast<float>(wide.width) / 300.f, 7.f, 75));

    // A declared resolution is applied as it is, even within the usual periods.
    fp::Features declared;
    ASSERT_EQ(ExtractImage(Render(Scaled(p, 1.2f), 360, 360, {}, 0), declared, {.resolution = 600}),
              fp::ExtractStatus::Ok);
    EXPECT_EQ(std::tuple(declared.width, declared.resolution), std::tuple(300, 500));
    EXPECT_TRUE(FoundNear(declared, p, 30, 270, 1.f, 7.f, 75));
}

// Light spots at `count` random centres in [lo, hi) on both axes, as the breaks
// of a dry print: each covers the pixels within (rx, ry) of its centre that
// `covers(dx, dy)` accepts.
template <class Covers>
void PaintBreaks(fptest::Image& img, unsigned seed, int count, int lo, int hi, int rx, int ry,
                 Covers covers) {
    for (int gap = 0; gap < count; ++gap) {
        const int cx = lo + static_cast<int>(Next(seed) % (hi - lo));
        const int cy = lo + static_cast<int>(Next(seed) % (hi - lo));
        for (int y = cy - ry; y <= cy + ry; ++y)
            for (int x = cx - rx; x <= cx + rx; ++x)
                if (x >= 0 && y >= 0 && x < img.width && y < img.height && covers(x - cx, y - cy))
                    img.pixels[static_cast<std::size_t>(y) * img.width + x] = 230;
    }
}

// A dense pattern gives most of its minutiae and few others; with light,
// random breaks along every ridge, as in a dry print, the ridges must be
// bridged, not turned into dozens of endings.
TEST(Extractor, DenseAndDryBrokenRidgesGiveTheirMinutiae) {
    const Pattern p = fptest::RandomPattern(7, 360, 360, 14);
    fptest::Image img = Render(p, 360, 360);
    fp::Features f;
    ASSERT_EQ(ExtractImage(img, f), fp::ExtractStatus::Ok);
    EXPECT_TRUE(FoundNear(f, p, 0, 360, 1.f, 8.f, 80));
    EXPECT_LE(f.minutiae.size(), p.singularities.size() + 4);

    PaintBreaks(img, 99, 2200, 0, 360, 2, 2, [](int dx, int dy) { return dx * dx + dy * dy <= 5; });
    ASSERT_EQ(ExtractImage(img, f), fp::ExtractStatus::Ok);
    EXPECT_TRUE(FoundNear(f, p, 0, 360, 1.f, 8.f, 70));
    EXPECT_LE(f.minutiae.size(), p.singularities.size() + 8) << "breaks taken for endings";
    EXPECT_GE(f.minutiae.size(), 15u) << "too few for a template the SDK accepts";
}

// A small print with too few clear minutiae for a template is filled up to
// the minimum from the doubtful ones (here: ridge ends at breaks), which come
// after the clear ones at lower quality.
TEST(Extractor, TooFewMinutiaeAreFilledUpFromTheDoubtfulOnes) {
    const Pattern p = fptest::RandomPattern(3, 300, 300, 3);
    fptest::Image img = Render(p, 300, 300);
    PaintBreaks(img, 7, 400, 40, 260, 4, 1, [](int, int) { return true; });
    fp::Features broken;
    ASSERT_EQ(ExtractImage(img, broken), fp::ExtractStatus::Ok);
    ASSERT_GE(broken.minutiae.size(), 15u);
    // The planted minutiae are still there, ahead of the fill.
    EXPECT_TRUE(FoundNear(broken, p, 0, 300, 1.f, 8.f, 70));
    const fp::Minutia& best = std::ranges::max(broken.minutiae, {}, &fp::Minutia::quality);
    EXPECT_LE(broken.minutiae.back().quality * 2, best.quality + 1);
}

// A print in a frame of sensor noise as strong as its ridges: the noise is
// background, and gives neither foreground nor minutiae.
TEST(Extractor, NoisyBackgroundIsNotPrint) {
    Pattern p = fptest::RandomPattern(5, 400, 400, 16);
    p.period = 9.f;
    fptest::Image img = Render(p, 400, 400);
    unsigned state = 7;
    std::vector<float> noise(400 * 400);
    for (float& v : noise) v = static_cast<float>((Next(state) >> 8) % 256);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x) {
            if (x >= 100 && y >= 100 && x < 300 && y < 300) continue;
            // Blurred a little, so that it has the grain of a real sensor.
            float sum = 0;
            int n = 0;
            for (int k = 0; k < 9; ++k) {
                const int u = x + k % 3 - 1, v = y + k / 3 - 1;
                if (u >= 0 && v >= 0 && u < 400 && v < 400) sum += noise[v * 400 + u], ++n;
            }
            img.pixels[static_cast<std::size_t>(y) * 400 + x] = static_cast<std::uint8_t>(
                std::clamp(130.f + 2.5f * (sum / n - 127.5f), 0.f, 255.f));
        }
    fp::Features f;
    ASSERT_EQ(ExtractImage(img, f), fp::ExtractStatus::Ok);
    ASSERT_EQ(f.width, 400);
    int noiseCells = 0, noiseForeground = 0;
    for (int r = 0; r < f.mask.rows; ++r)
        for (int c = 0; c < f.mask.columns; ++c) {
            const int x = c * f.mask.cell + f.mask.cell / 2, y = r * f.mask.cell + f.mask.cell / 2;
            if (x >= 84 && y >= 84 && x < 316 && y < 316) continue;
            ++noiseCells;
            noiseForeground += f.mask.At(c, r);
        }
    EXPECT_LT(noiseForeground, noiseCells / 20);
    int inNoise = 0;
    for (const fp::Minutia& m : f.minutiae)
        inNoise += m.x < 92 || m.y < 92 || m.x >= 308 || m.y >= 308;
    EXPECT_LE(inNoise, 1);
    EXPECT_GE(f.minutiae.size(), 5u) << "the print itself was lost";
}

// Low declared resolutions enlarge the image; it must stay within the sizes a
// template can describe, and the smallest images must not shrink below them.
TEST(Extractor, RescaledImagesStayWithinTheSizesAccepted) {
    Pattern p = fptest::RandomPattern(41, 1536, 1536, 12, 200.f);
    p.period = 6.f;  // a 300 dpi sensor
    fp::Features big;
    ASSERT_EQ(ExtractImage(Render(p, 1536, 1536), big, {.resolution = 300}), fp::ExtractStatus::Ok);
    EXPECT_EQ(std::tuple(big.width, big.height), std::tuple(fp::kMaxImageSide, fp::kMaxImageSide));
    for (const fp::Minutia& m : big.minutiae) ASSERT_TRUE(m.x < big.width && m.y < big.height);

    fp::Features small;
    const fptest::Image tiny = Render(fptest::RandomPattern(42, 100, 100, 2), 100, 100, {}, 4);
    ASSERT_EQ(ExtractImage(tiny, small, {.resolution = 1000}), fp::ExtractStatus::Ok);
    EXPECT_EQ(small.width, 100) << "halving would go below 64";
}

TEST(Extractor, RefusesBadImagesWithoutCrashing) {
    std::vector<std::uint8_t> pixels(400 * 400, 255);
    fp::Features f;
    fp::ExtractorSettings s;
    EXPECT_EQ(fp::Extract({nullptr, 300, 300, 300}, s, f), fp::ExtractStatus::BadArgument);
    EXPECT_EQ(fp::Extract({pixels.data(), 300, 300, 299}, s, f), fp::ExtractStatus::BadArgument);
    EXPECT_EQ(fp::Extract({pixels.data(), 0, 0, 0}, s, f), fp::ExtractStatus::BadSize);
    EXPECT_EQ(fp::Extract({pixels.data(), 5000, 20, 5000}, s, f), fp::ExtractStatus::BadSize);
    EXPECT_EQ(fp::Extract({pixels.data(), 300, 300, 300}, {.resolution = 2000}, f),
              fp::ExtractStatus::BadResolution);
    // Blank, flat grey and pure noise images hold no fingerprint.
    EXPECT_EQ(fp::Extract({pixels.data(), 400, 400, 400}, s, f), fp::ExtractStatus::NoFingerprint);
    std::fill(pixels.begin(), pixels.end(), 90);
    EXPECT_EQ(fp::Extract({pixels.data(), 400, 400, 400}, s, f), fp::ExtractStatus::NoFingerprint);
    unsigned state = 1;
    for (auto& v : pixels) v = static_cast<std::uint8_t>(Next(state) >> 16);
    const fp::ExtractStatus noise = fp::Extract({pixels.data(), 400, 400, 400}, s, f);
    EXPECT_TRUE(noise == fp::ExtractStatus::NoFingerprint || f.minutiae.size() < 15)
        << f.minutiae.size() << " minutiae in noise";
}

// Rows stored bottom-up, as BMP files hold them, and a stride longer than a row:
// the upright print's features, mirrored. 304 rows are whole grid cells, so
// the rows of the mask and the orientation grid mirror one to one.
TEST(Extractor, ReadsBottomUpRowsThroughTheStride) {
    constexpr int kWidth = 300, kHeight = 304, kStride = 304;
    const fptest::Image img = Render(fptest::RandomPattern(5, kWidth, kHeight, 8), kWidth, kHeight);
    std::vector<std::uint8_t> flipped(static_cast<std::size_t>(kStride) * kHeight, 0);
    for (int y = 0; y < kHeight; ++y)
        std::copy_n(&img.pixels[static_cast<std::size_t>(y) * kWidth], kWidth,
                    &flipped[static_cast<std::size_t>(kHeight - 1 - y) * kStride]);
    fp::Features a, b;
    ASSERT_EQ(ExtractImage(img, a), fp::ExtractStatus::Ok);
    ASSERT_EQ(fp::Extract({flipped.data(), kWidth, kHeight, kStride, true}, {}, b),
              fp::ExtractStatus::Ok);
    ASSERT_GE(a.minutiae.size(), 15u);
    ASSERT_EQ(a.minutiae.size(), b.minutiae.size());
    for (std::size_t i = 0; i < a.minutiae.size(); ++i) {
        const fp::Minutia &m = a.minutiae[i], &o = b.minutiae[i];
        EXPECT_TRUE(m.x == o.x && kHeight - 1 - m.y == o.y &&
                    ((m.direction + o.direction) & 255) == 0 && m.type == o.type)
            << i;
    }
    const fp::OrientationGrid &up = a.orientation, &down = b.orientation;
    ASSERT_TRUE(up.rows == down.rows && up.columns == down.columns && a.mask.rows == up.rows);
    for (int r = 0; r < up.rows; ++r)
        for (int c = 0; c < up.columns; ++c) {
            EXPECT_EQ(a.mask.At(c, r), b.mask.At(c, up.rows - 1 - r));
            // theta turns into pi - theta, give or take a step of rounding.
            const int u = up.At(c, r), d = down.At(c, up.rows - 1 - r), sum = (u + d) % 255;
            EXPECT_TRUE(u == fp::OrientationGrid::kNone ? d == u : sum <= 1 || sum == 254)
                << u << " " << d;
        }
}

}  // namespace
