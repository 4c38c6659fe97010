#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "sim/DetMath.h"
#include "sim/FingerLayout.h"
#include "sim/MasterCache.h"
#include "sim/Random.h"

using namespace kvt::sim;

TEST(SimDetMath, AgreesWithTheStandardLibrary) {
    for (double x = -40.0; x <= 40.0; x += 0.0137) {
        EXPECT_NEAR(det::Sin(x), std::sin(x), 1e-12) << x;
        EXPECT_NEAR(det::Cos(x), std::cos(x), 1e-12) << x;
    }
    for (double x = -30.0; x <= 30.0; x += 0.0119)
        EXPECT_NEAR(det::Exp(x) / std::exp(x), 1.0, 1e-13) << x;
    for (double y = -3; y <= 3; y += 0.07)
        for (double x = -3; x <= 3; x += 0.07)
            EXPECT_NEAR(det::Atan2(y, x), std::atan2(y, x), 1e-13) << y << "," << x;
    EXPECT_EQ(det::Atan2(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(det::Atan2(0, -1), det::kPi);
    for (double x = 0.001; x < 30; x *= 1.37)
        EXPECT_NEAR(det::Cbrt(x), std::cbrt(x), 1e-13 * x + 1e-15);
    EXPECT_EQ(std::tuple(det::Round(2.5), det::Round(-2.5)), std::tuple(3.0, -3.0));
}

TEST(SimRandom, IsAFixedSequence) {
    // xoshiro256** seeded through splitmix64: the sequence never changes, or
    // every synthetic print would (the synthesizer's pinned bytes hold the rest).
    EXPECT_EQ(Rng(0).Next(), 0x99EC5F36CB75F2B4ull);
    double sum = 0, sq = 0;
    Rng n(7);
    for (int i = 0; i < 20000; ++i) {
        const double v = n.Normal();
        sum += v;
        sq += v * v;
    }
    EXPECT_NEAR(sum / 20000, 0.0, 0.03);
    EXPECT_NEAR(sq / 20000, 1.0, 0.04);
    for (int i = 0; i < 1000; ++i) {
        const double u = n.Uniform();
        EXPECT_TRUE(u >= 0.0 && u < 1.0 && n.Below(7) < 7u) << u;
    }
}

TEST(SimPatternClass, FollowsTheNaturalProportions) {
    // arch 3.7 %, tented arch 2.9 %, left loop 33.8 %, right loop 31.7 %, whorl 27.9 %.
    const double expected[kPatternClassCount] = {0.037, 0.029, 0.338, 0.317, 0.279};
    int count[kPatternClassCount] = {};
    const int n = 40000;
    for (int id = 0; id < n; ++id)
        ++count[static_cast<int>(PatternClassOf(0, static_cast<uint32_t>(id)))];
    for (int c = 0; c < kPatternClassCount; ++c) {
        const double p = static_cast<double>(count[c]) / n;
        EXPECT_NEAR(p, expected[c], 4 * std::sqrt(expected[c] * (1 - expected[c]) / n))
            << PatternClassName(static_cast<PatternClass>(c));
    }
}

TEST(SimPatternClass, LayoutHasTheClassSingularPoints) {
    for (uint32_t id = 0; id < 400; ++id) {
        const FingerLayout L = MakeFingerLayout(0, id);
        int cores = 0, deltas = 0;
        for (const auto& sp : L.singularities) {
            (sp.core ? cores : deltas)++;
            EXPECT_LT(OutlineRadius(L, sp.x, sp.y), 0.9)
                << "singular point outside the finger, id " << id;
        }
        // As many cores as deltas: none for an arch, two for a whorl, one otherwise.
        const int expected[kPatternClassCount] = {0, 1, 1, 1, 2};
        EXPECT_EQ(std::tuple(cores, deltas), std::tuple(expected[static_cast<int>(L.patternClass)],
                                                        expected[static_cast<int>(L.patternClass)]))
            << id;
        if (L.patternClass == PatternClass::LeftLoop || L.patternClass == PatternClass::RightLoop) {
            // Left loop: ridges enter and leave on the left, the delta lies to the right.
            const double side = L.singularities[1].x - L.singularities[0].x;
            EXPECT_EQ(side > 0, L.patternClass == PatternClass::LeftLoop) << id;
            EXPECT_GT(L.singularities[1].y, L.singularities[0].y)
                << "delta below the core, id " << id;
        }
    }
}

namespace {
// The cache keeps prints by finger: the id is all they need.
MasterPrint Tiny(uint32_t id) {
    MasterPrint m;
    m.fingerId = id;
    return m;
}
}  // namespace

TEST(SimMasterCache, EvictsTheLeastRecentlyUsedAndCachesNoFailure) {
    std::atomic<int> built{0};
    MasterCache cache(2, [&](uint32_t id) {
        if (id == 13) throw std::runtime_error("no such finger");
        ++built;
        return Tiny(id);
    });
    // 1 is the most recent when 3 comes, so 2 goes.
    for (uint32_t id : {1, 2, 1, 3, 1}) EXPECT_EQ(cache.Get(id)->fingerId, id);
    EXPECT_EQ(std::tuple(cache.Size(), built.load()), std::tuple(2u, 3));
    cache.Get(2);
    EXPECT_EQ(built.load(), 4);
    cache.Clear();
    EXPECT_EQ(cache.Size(), 0u);
    // A failed build reaches the caller and is tried again next time.
    EXPECT_THROW(cache.Get(13), std::runtime_error);
    EXPECT_EQ(cache.Get(12)->fingerId, 12u);
    EXPECT_THROW(cache.Get(13), std::runtime_error);
}

TEST(SimMasterCache, BuildsEachFingerOnceUnderConcurrency) {
    std::atomic<int> built{0}, wrong{0};
    MasterCache cache(16, [&](uint32_t id) {
        ++built;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return Tiny(id);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (uint32_t id = 0; id < 8; ++id) wrong += cache.Get(id)->fingerId != id;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::tuple(wrong.load(), built.load(), cache.Builds()), std::tuple(0, 8, 8u));
}
