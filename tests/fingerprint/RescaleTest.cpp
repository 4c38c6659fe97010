// Each print is brought to 500 dpi by its own ridge period, which differs by a
// few percent between impressions of one finger: the alignment must follow
// such a scale difference across a whole large print.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "fp/Matcher.h"

namespace {

constexpr int kSide = 480;

// One minutia per 60-pixel cell, jittered, so they spread over the whole print.
fp::Features Grid(unsigned seed) {
    fp::Features f;
    f.width = f.height = kSide;
    f.mask.cell = 16;
    f.mask.columns = f.mask.rows = kSide / 16;
    f.mask.bits.assign(static_cast<std::size_t>(f.mask.columns) * f.mask.rows, 1);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-20, 20);
    for (int y = 30; y < kSide; y += 60)
        for (int x = 30; x < kSide; x += 60) {
            fp::Minutia m;
            m.x = static_cast<std::uint16_t>(x + jitter(rng));
            m.y = static_cast<std::uint16_t>(y + jitter(rng));
            m.direction = static_cast<std::uint8_t>(rng());
            m.type = fp::MinutiaType::Ending;
            m.quality = 80;
            f.minutiae.push_back(m);
        }
    return f;
}

// The print enlarged by `factor` about its centre; minutiae that leave it are dropped.
fp::Features Enlarged(const fp::Features& f, double factor) {
    fp::Features out = f;
    out.minutiae.clear();
    const double centre = kSide / 2.0;
    for (fp::Minutia m : f.minutiae) {
        const double x = centre + factor * (m.x - centre), y = centre + factor * (m.y - centre);
        if (x < 0 || y < 0 || x >= kSide || y >= kSide) continue;
        m.x = static_cast<std::uint16_t>(std::lround(x));
        m.y = static_cast<std::uint16_t>(std::lround(y));
        out.minutiae.push_back(m);
    }
    return out;
}

int Paired(const fp::Features& probe, const fp::Features& ref) {
    return fp::Compare(fp::Prepare(probe, true), fp::Prepare(ref, false), fp::MatcherSettings{})
        .matched;
}

TEST(Rescale, ImpressionsThatDifferInScalePairAcrossTheWholePrint) {
    for (unsigned seed : {1u, 2u, 3u}) {
        const fp::Features finger = Grid(seed);
        for (double factor : {1.08, 1 / 1.08}) {
            const fp::Features other = Enlarged(finger, factor);
            const std::size_t shared = std::min(finger.minutiae.size(), other.minutiae.size());
            // Rigidly aligned, the minutiae far from the centre of the pairs
            // fall outside the pairing tolerance: about two in three pair.
            EXPECT_GE(static_cast<std::size_t>(Paired(other, finger)) * 4, shared * 3)
                << "seed " << seed << ", factor " << factor;
        }
    }
}

}  // namespace
