// Alignments are seeded from the best minutiae of each print: a mate must
// still be found when a print carries many weak, false minutiae besides.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "fp/Matcher.h"

namespace {

constexpr int kSide = 480;

fp::Features Blank() {
    fp::Features f;
    f.width = f.height = kSide;
    f.mask.cell = 16;
    f.mask.columns = f.mask.rows = kSide / 16;
    f.mask.bits.assign(static_cast<std::size_t>(f.mask.columns) * f.mask.rows, 1);
    return f;
}

// Minutiae at least 14 pixels apart, of quality within [low, high].
void Scatter(fp::Features& f, std::mt19937& rng, int count, int low, int high) {
    std::uniform_int_distribution<int> pos(20, kSide - 21), quality(low, high);
    for (int added = 0; added < count;) {
        const int x = pos(rng), y = pos(rng);
        if (std::any_of(f.minutiae.begin(), f.minutiae.end(),
                        [&](const fp::Minutia& m) { return std::hypot(m.x - x, m.y - y) < 14.0; }))
            continue;
        fp::Minutia m;
        m.x = static_cast<std::uint16_t>(x);
        m.y = static_cast<std::uint16_t>(y);
        m.direction = static_cast<std::uint8_t>(rng());
        m.type = fp::MinutiaType::Ending;
        m.quality = static_cast<std::uint8_t>(quality(rng));
        f.minutiae.push_back(m);
        ++added;
    }
}

// The extractor lists minutiae best quality first.
void SortByQuality(fp::Features& f) {
    std::stable_sort(
        f.minutiae.begin(), f.minutiae.end(),
        [](const fp::Minutia& a, const fp::Minutia& b) { return a.quality > b.quality; });
}

// The print turned by `units` steps of pi/128 about its centre and shifted.
fp::Features Moved(const fp::Features& f, int units, int dx, int dy) {
    fp::Features out = Blank();
    const double a = units * 3.14159265358979 / 128, c = std::cos(a), s = std::sin(a);
    const double centre = kSide / 2.0;
    for (fp::Minutia m : f.minutiae) {
        const double x = c * (m.x - centre) - s * (m.y - centre) + centre + dx;
        const double y = s * (m.x - centre) + c * (m.y - centre) + centre + dy;
        if (x < 0 || y < 0 || x >= kSide || y >= kSide) continue;
        m.x = static_cast<std::uint16_t>(std::lround(x));
        m.y = static_cast<std::uint16_t>(std::lround(y));
        m.direction = static_cast<std::uint8_t>((m.direction + units) & 255);
        out.minutiae.push_back(m);
    }
    return out;
}

fp::Comparison Compare(const fp::Features& a, const fp::Features& b) {
    return fp::Compare(fp::Prepare(a, true), fp::Prepare(b, false), fp::MatcherSettings{});
}

TEST(Seeding, MatesAreFoundAmongManyWeakFalseMinutiae) {
    std::mt19937 rng(7);
    fp::Features finger = Blank();
    Scatter(finger, rng, 40, 70, 100);
    // The same finger again, with 70 weak false minutiae that outnumber the
    // true ones.
    fp::Features crowded = Moved(finger, 6, 11, -8);
    const std::size_t trueOnes = crowded.minutiae.size();
    Scatter(crowded, rng, 70, 20, 45);
    SortByQuality(crowded);
    ASSERT_GT(crowded.minutiae.size(), 100u);
    for (const auto& [probe, reference] :
         {std::pair(&finger, &crowded), std::pair(&crowded, &finger)}) {
        const fp::Comparison c = Compare(*probe, *reference);
        EXPECT_GE(c.score, 48);
        EXPECT_GE(c.matched, static_cast<int>(trueOnes) - 2);
    }
    // A different finger with as many minutiae stays far below.
    fp::Features stranger = Blank();
    Scatter(stranger, rng, 40, 70, 100);
    Scatter(stranger, rng, 70, 20, 45);
    SortByQuality(stranger);
    EXPECT_LT(Compare(finger, stranger).score, 24);
    EXPECT_LT(Compare(crowded, stranger).score, 24);
}

}  // namespace
