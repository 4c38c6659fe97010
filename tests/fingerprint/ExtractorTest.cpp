// Extraction on drawn ridge patterns whose minutiae we know.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "SyntheticPrint.h"
#include "fp/Extractor.h"

namespace {

using fptest::Pattern;
using fptest::Render;
using fptest::Singularity;

constexpr float kPi = 3.14159265f;

fp::ExtractStatus ExtractImage(const fptest::Image& img, fp::Features& out,
                               const fp::ExtractorSettings& settings = {}) {
    return fp::Extract({img.pixels.data(), img.width, img.height, img.width}, settings, out);
}

float AngleBetween(float a, float b) {
    float d = std::fmod(std::fabs(a - b), 2 * kPi);
    return d > kPi ? 2 * kPi - d : d;
}

const fp::Minutia* Nearest(const fp::Features& f, float x, float y, float& distance) {
    const fp::Minutia* best = nullptr;
    distance = 1e9f;
    for (const fp::Minutia& m : f.minutiae) {
        const float d = std::hypot(m.x - x, m.y - y);
        if (d < distance) distance = d, best = &m;
    }
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
        float distance;
        const fp::Minutia* m = Nearest(f, s.x, s.y, distance);
        ASSERT_NE(m, nullptr);
        EXPECT_LT(distance, 6.f) << "no minutia near " << s.x << "," << s.y;
        EXPECT_EQ(m->type, ridgeEnds ? fp::MinutiaType::Ending : fp::MinutiaType::Bifurcation)
            << "at " << s.x << "," << s.y;
        EXPECT_LT(AngleBetween(m->direction * kPi / 128, s.sign > 0 ? kPi : 0.f), 0.35f)
            << "at " << s.x << "," << s.y;
    }
    ASSERT_EQ(endings, 2) << "the rows were meant to give both types";
    // Clean ridges must not produce minutiae of their own. A print this sparse
    // also gets those near its edge, where the drawn ridges stop.
    int inside = 0;
    for (const fp::Minutia& m : f.minutiae)
        inside += m.x > 60 && m.y > 60 && m.x < 240 && m.y < 240;
    EXPECT_LE(inside, static_cast<int>(p.singularities.size()) + 1);
    EXPECT_EQ(f.width, 300);
    EXPECT_EQ(f.height, 300);
    ASSERT_GT(f.mask.columns, 0);
    EXPECT_TRUE(f.mask.At(f.mask.columns / 2, f.mask.rows / 2));
    EXPECT_FALSE(f.mask.At(0, 0));  // the light border is background
}

TEST(Extractor, FindsMostMinutiaeOfADensePatternWithFewExtras) {
    const Pattern p = fptest::RandomPattern(7, 360, 360, 14);
    const fptest::Image img = Render(p, 360, 360);
    fp::Features f;
    ASSERT_EQ(ExtractImage(img, f), fp::ExtractStatus::Ok);
    int found = 0;
    for (const Singularity& s : p.singularities) {
        float distance;
        Nearest(f, s.x, s.y, distance);
        found += distance < 8.f;
    }
    EXPECT_GE(found, static_cast<int>(p.singularities.size()) * 8 / 10);
    EXPECT_LE(f.minutiae.size(), p.singularities.size() + 4);
}

TEST(Extractor, MinutiaeFollowARotatedAndShiftedImpression) {
    const Pattern p = fptest::RandomPattern(11, 360, 360, 12, 55.f);
    const fptest::Placement moved{0.4f, 10.f, -8.f};
    fp::Features f;
    ASSERT_EQ(ExtractImage(Render(p, 360, 360, moved, 0), f), fp::ExtractStatus::Ok);
    const float scale = f.width / 360.f;  // wide ridges are brought to the usual period
    int found = 0, inside = 0;
    for (const Singularity& s : p.singularities) {
        float x, y;
        fptest::Place(moved, 360, 360, s.x, s.y, x, y);
        if (x < 30 || y < 30 || x > 330 || y > 330) continue;
        ++inside;
        float distance;
        Nearest(f, x * scale, y * scale, distance);
        found += distance < 8.f;
    }
    ASSERT_GT(inside, 6);
    EXPECT_GE(found, inside * 3 / 4);
}

TEST(Extractor, SettingsLimitWhatIsKept) {
    const fptest::Image img = Render(fptest::RandomPattern(3, 360, 360, 16), 360, 360);
    fp::Features all, few, small;
    ASSERT_EQ(ExtractImage(img, all), fp::ExtractStatus::Ok);
    ASSERT_GT(all.minutiae.size(), 5u);
    fp::ExtractorSettings limited;
    limited.maxMinutiae = 5;
    ASSERT_EQ(ExtractImage(img, few, limited), fp::ExtractStatus::Ok);
    ASSERT_EQ(few.minutiae.size(), 5u);
    for (std::size_t i = 1; i < few.minutiae.size(); ++i)
        EXPECT_GE(few.minutiae[i - 1].quality, few.minutiae[i].quality);
    EXPECT_GE(few.minutiae.back().quality, all.minutiae[5].quality);

    fp::ExtractorSettings noMask;
    noMask.fullTemplate = false;
    ASSERT_EQ(ExtractImage(img, small, noMask), fp::ExtractStatus::Ok);
    EXPECT_EQ(small.mask.columns, 0);
    EXPECT_EQ(small.orientation.columns, 0);
}

TEST(Extractor, RefusesBadImagesWithoutCrashing) {
    std::vector<std::uint8_t> pixels(400 * 400, 255);
    fp::Features f;
    fp::ExtractorSettings s;
    EXPECT_EQ(fp::Extract({nullptr, 300, 300, 300}, s, f), fp::ExtractStatus::BadArgument);
    EXPECT_EQ(fp::Extract({pixels.data(), 300, 300, 299}, s, f), fp::ExtractStatus::BadArgument);
    EXPECT_EQ(fp::Extract({pixels.data(), 0, 0, 0}, s, f), fp::ExtractStatus::BadSize);
    EXPECT_EQ(fp::Extract({pixels.data(), 5000, 20, 5000}, s, f), fp::ExtractStatus::BadSize);
    s.resolution = 1000;
    EXPECT_EQ(fp::Extract({pixels.data(), 300, 300, 300}, s, f), fp::ExtractStatus::BadResolution);
    s.resolution = 500;
    // Blank, flat grey and pure noise images hold no fingerprint.
    EXPECT_EQ(fp::Extract({pixels.data(), 400, 400, 400}, s, f), fp::ExtractStatus::NoFingerprint);
    std::fill(pixels.begin(), pixels.end(), 90);
    EXPECT_EQ(fp::Extract({pixels.data(), 400, 400, 400}, s, f), fp::ExtractStatus::NoFingerprint);
    unsigned state = 1;
    for (auto& v : pixels)
        v = static_cast<std::uint8_t>((state = state * 1103515245u + 12345u) >> 24);
    const fp::ExtractStatus noise = fp::Extract({pixels.data(), 400, 400, 400}, s, f);
    EXPECT_TRUE(noise == fp::ExtractStatus::NoFingerprint || f.minutiae.size() < 15)
        << f.minutiae.size() << " minutiae in noise";
}

TEST(Extractor, ReadsRowsThroughTheStride) {
    const fptest::Image img = Render(fptest::RandomPattern(5, 300, 300, 8), 300, 300);
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(304) * 300, 0);
    for (int y = 0; y < 300; ++y)
        std::copy_n(&img.pixels[static_cast<std::size_t>(y) * 300], 300,
                    &padded[static_cast<std::size_t>(y) * 304]);
    fp::Features a, b;
    ASSERT_EQ(fp::Extract({img.pixels.data(), 300, 300, 300}, {}, a), fp::ExtractStatus::Ok);
    ASSERT_EQ(fp::Extract({padded.data(), 300, 300, 304}, {}, b), fp::ExtractStatus::Ok);
    ASSERT_EQ(a.minutiae.size(), b.minutiae.size());
    for (std::size_t i = 0; i < a.minutiae.size(); ++i) {
        EXPECT_EQ(a.minutiae[i].x, b.minutiae[i].x);
        EXPECT_EQ(a.minutiae[i].y, b.minutiae[i].y);
    }
}

}  // namespace
