// Distortion beyond a rigid alignment's tolerance: an impression bent more
// than a rigid fit can follow is paired under a smooth warp, while the warp
// gives prints of other fingers nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "MatcherInternal.h"  // the elastic step is internal to the engine
#include "RandomFeatures.h"
#include "fp/Matcher.h"

namespace {

constexpr int kSide = 400;

fp::Features Print(unsigned seed, int count) {
    return fptest::RandomPrint(seed, count, kSide, 80, 80, 16.f, 30.f);
}

// Skin bent by the finger's roll: up to `amplitude` pixels at the corners,
// growing with the square of the distance from the middle, which no rigid,
// scaled or affine alignment takes back. Directions turn with the skin.
fp::Features Bent(const fp::Features& f, float amplitude) {
    return fptest::Impression(f, {.warp = [amplitude](float& x, float& y) {
                                  const float u = x / (kSide / 2.f) - 1, v = y / (kSide / 2.f) - 1;
                                  x += amplitude * v * v;
                                  y += amplitude * u * u;
                                  // Half the difference of the cross derivatives.
                                  return amplitude / (kSide / 2.f) * (u - v);
                              }});
}

// Both prints prepared, a comparison's buffers, and both steps at the identity alignment.
struct Pairing {
    fp::PreparedPrint probe, ref;
    fp::detail::Scratch scratch;
    fp::detail::Consolidation elastic;
    Pairing(const fp::Features& a, const fp::Features& b) {
        fp::PrepareInto(a, true, probe);
        fp::PrepareInto(b, false, ref);
        scratch.BeginComparison(a.minutiae.size() * b.minutiae.size());
    }
    // With the tolerance of a refitted rigid alignment.
    int Rigid() {
        return fp::detail::Pair(*probe.layout(), *ref.layout(), {}, kSide / 2.f, kSide / 2.f,
                                fp::detail::params::kRefitPairDistance,
                                fp::detail::params::kStretch, scratch);
    }
    bool Warp() {
        return fp::detail::Consolidate(*probe.layout(), *ref.layout(), ref.layout()->flow, {}, 0.0,
                                       0, scratch, elastic);
    }
};

TEST(Elastic, BentImpressionsPairMoreUnderTheWarpThanRigidly) {
    // Over a dozen prints: in one scene the rigid fit may happen to hold up.
    constexpr unsigned kPrints = 12;
    int rigidPairs = 0, warpedPairs = 0;
    for (unsigned seed = 1; seed <= kPrints; ++seed) {
        SCOPED_TRACE(seed);
        const fp::Features original = Print(seed, 45);
        const fp::Features bent = Bent(original, 40.f);
        ASSERT_EQ(bent.minutiae.size(), original.minutiae.size());
        Pairing pairing(original, bent);
        rigidPairs += pairing.Rigid();
        ASSERT_TRUE(pairing.Warp());
        EXPECT_GT(pairing.elastic.similarity, 0);
        warpedPairs += pairing.elastic.matched;
    }
    // More than 5 pairs won back per print on average.
    EXPECT_GT(warpedPairs, rigidPairs + 5 * static_cast<int>(kPrints));
}

TEST(Elastic, PrintsOfOtherFingersGainNoPairsFromAWarp) {
    // Chance pairs agree with no smooth warp: one fitted on them pairs no
    // more minutiae than the rigid alignment it started from.
    const fp::Features probe = Print(3, 120);
    int tried = 0;
    for (unsigned seed = 40; seed < 80; ++seed) {
        Pairing pairing(probe, Print(seed, 120));
        const int rigid = pairing.Rigid();
        if (!pairing.Warp()) continue;
        ++tried;
        EXPECT_LE(pairing.elastic.matched, rigid) << seed;
    }
    EXPECT_GT(tried, 5);
}

TEST(Elastic, MinutiaeOnOneLineLeaveNoWarp) {
    // Pairs on a line leave the spline's system singular.
    fp::Features line = fptest::Blank(kSide);
    for (int k = 0; k < 30; ++k)
        line.minutiae.push_back({static_cast<std::uint16_t>(20 + 12 * k), 200,
                                 static_cast<std::uint8_t>(k * 37), fp::MinutiaType::Other, 80});
    Pairing pairing(line, line);
    EXPECT_FALSE(pairing.Warp());
    EXPECT_TRUE(std::isfinite(fp::Compare(pairing.probe, pairing.ref, {}).similarity));
}

}  // namespace
