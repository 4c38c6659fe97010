#include <gtest/gtest.h>

#include <cmath>

#include <algorithm>
#include <thread>

#include "LfdReference.h"
#include "SimTestSupport.h"
#include "sim/FingerprintSynth.h"
#include "sim/TestPatternSource.h"

using namespace kvt::sim;

TEST(SimLfdReference, MatchesTheCheckDefinitionsEdgeCases) {
    // A constant profile of 100 has a dynamic of 50 whatever its length.
    EXPECT_EQ(kvt_test::ProfileDynamic(std::vector<int>(300, 100)), 50);
    EXPECT_EQ(kvt_test::ProfileDynamic(std::vector<int>(150, 100)), 50);
    // One peak with monotone slopes: the upper envelope marks only the ends and
    // the peak; the lower envelope keeps every value.
    std::vector<int> peak;
    for (int i = 0; i < 50; ++i) peak.push_back(10 + 2 * i);
    for (int i = 48; i >= 0; --i) peak.push_back(10 + 2 * i);
    int upper = 108, lower = 0;  // the peak node; the zero end nodes add nothing
    for (int k = 1; k <= 49; ++k) upper += (k * 108) / 50;
    for (int k = 51; k <= 99; ++k) upper += 108 + ((k - 50) * -108) / 50;
    for (int v : peak) lower += v;
    EXPECT_EQ(kvt_test::ProfileDynamic(peak), upper - lower);
    // Two identical frames: fxRatio 1.
    std::vector<uint8_t> frame(384 * 320);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>((i * 7) % 200);
    EXPECT_FLOAT_EQ(kvt_test::FxRatio(frame.data(), frame.data(), 384, 320), 1.0f);
    EXPECT_FLOAT_EQ(MeasureFxRatio(frame.data(), frame.data(), 384, 320), 1.0f);
    // Colour conditions: Red 3000 fails (strict), 3001 passes.
    ColourReadings c{9400, 1150, 1400, 3000, 180};
    const int at3000 = kvt_test::ColourConditionsMet(c);
    c.red = 3001;
    EXPECT_EQ(kvt_test::ColourConditionsMet(c), at3000 + 1);
}

TEST(SimLiveMaterial, LiveColoursMeetAllNineConditions) {
    for (uint64_t seed = 0; seed < 2000; ++seed) {
        Rng rng(seed);
        const ColourReadings c = MakeColourReadings(true, rng);
        ASSERT_EQ(kvt_test::ColourConditionsMet(c), 9)
            << "Ir " << c.ir << " Blue " << c.blue << " Green " << c.green << " Red " << c.red
            << " Off " << c.off;
    }
}

TEST(SimLiveMaterial, FakeColoursFailAlmostAll) {
    for (uint64_t seed = 0; seed < 2000; ++seed) {
        Rng rng(seed);
        const ColourReadings c = MakeColourReadings(false, rng);
        ASSERT_LE(kvt_test::ColourConditionsMet(c), 1);
    }
}

TEST(SimLiveMaterial, ColourReadingsVaryALittle) {
    FingerprintSynth synth(0, 1);
    const ColourReadings a = synth.Colours(1, 0, true), b = synth.Colours(1, 1, true);
    EXPECT_NE(a.red, b.red);
    EXPECT_NEAR(a.red, b.red, 3000);
    const ColourReadings again = synth.Colours(1, 0, true);
    EXPECT_EQ(a.red, again.red);
    EXPECT_EQ(a.ir, again.ir);
}

TEST(SimLiveMaterial, CrossFrameRatioInsideTheRangeForLiveOutsideForFake) {
    SynthImageSource source(kvt_test::SharedSynth());
    for (const auto& size : {std::pair{384, 320}, std::pair{416, 332}}) {
        for (uint32_t id = 0; id < 8; ++id) {
            for (bool live : {true, false}) {
                FrameRequest r;
                r.rawWidth = size.first;
                r.rawHeight = size.second;
                r.fingerId = id;
                r.impression = id % 4;
                r.live = live;
                r.crossFrame = true;
                const std::vector<uint8_t> frames = source.Frame(r);
                const size_t n = static_cast<size_t>(r.rawWidth) * r.rawHeight;
                ASSERT_EQ(frames.size(), 2 * n);
                const float ratio =
                    kvt_test::FxRatio(frames.data(), frames.data() + n, r.rawWidth, r.rawHeight);
                if (live) {
                    EXPECT_GT(ratio, 3.0f) << id;
                    EXPECT_LT(ratio, 30.0f) << id;
                    EXPECT_GT(ratio, 5.0f) << "too close to the limit, finger " << id;
                    EXPECT_LT(ratio, 20.0f) << "too close to the limit, finger " << id;
                } else {
                    EXPECT_LT(ratio, 2.5f) << id;
                }
                // Frame 1 is the plain frame.
                r.crossFrame = false;
                const std::vector<uint8_t> single = source.Frame(r);
                EXPECT_TRUE(std::equal(single.begin(), single.end(), frames.begin()));
                // Live finger detection: a live finger passes (level 5), a fake does not.
                const ColourReadings c = source.Colours(r);
                const bool passes =
                    ratio > 3.0f && ratio < 30.0f && kvt_test::ColourConditionsMet(c) == 9;
                EXPECT_EQ(passes, live);
            }
        }
    }
}

TEST(SimLiveMaterial, HalfSizeCrossFrameUsesScaledProfileBands) {
    // The check leaves the optical test of the 150 x 75 window open; the
    // synthesizer calibrates with the profile bands scaled to that window.
    SynthImageSource source(kvt_test::SharedSynth());
    for (uint32_t id = 0; id < 4; ++id) {
        for (bool live : {true, false}) {
            FrameRequest r;
            r.rawWidth = 192;
            r.rawHeight = 160;
            r.fingerId = id;
            r.live = live;
            r.crossFrame = true;
            const std::vector<uint8_t> frames = source.Frame(r);
            ASSERT_EQ(frames.size(), 2u * 192u * 160u);
            const float ratio = MeasureFxRatio(frames.data(), frames.data() + 192 * 160, 192, 160);
            if (live) {
                EXPECT_GT(ratio, 3.0f) << id;
                EXPECT_LT(ratio, 30.0f) << id;
            } else {
                EXPECT_LT(ratio, 3.0f) << id;
            }
        }
    }
}

TEST(SimLiveMaterial, CrossFrameIsDiffuseAndBright) {
    FingerprintSynth& synth = *kvt_test::SharedSynth();
    const Impression imp = synth.Render(4, 0, kGeometryRoi);
    const std::vector<uint8_t> cross = synth.CrossFrame(imp, 4, 0, true);
    const std::vector<uint8_t> raw = imp.Raw();
    // Less local contrast than frame 1 by a wide margin.
    double c1 = 0, c2 = 0;
    for (size_t i = 1; i < raw.size(); ++i) {
        c1 += std::abs(raw[i] - raw[i - 1]);
        c2 += std::abs(cross[i] - cross[i - 1]);
    }
    EXPECT_LT(c2 * 4, c1);
}

TEST(SimTestPattern, IsDeterministicAndUpright) {
    TestPatternSource source;
    FrameRequest r;
    r.fingerId = 3;
    const std::vector<uint8_t> a = source.Frame(r), b = source.Frame(r);
    EXPECT_EQ(a, b);
    ASSERT_EQ(a.size(), 384u * 320u);
    // The ramp in the picture's first row: picture(0, k) = raw(row 32 + k, column 12).
    for (int k = 0; k < 16; ++k) EXPECT_EQ(a[static_cast<size_t>(32 + k) * 384 + 12], k * 16);
    r.crossFrame = true;
    const std::vector<uint8_t> two = source.Frame(r);
    ASSERT_EQ(two.size(), 2u * 384u * 320u);
    const float ratio = kvt_test::FxRatio(two.data(), two.data() + 384 * 320, 384, 320);
    EXPECT_GT(ratio, 3.0f);
    EXPECT_LT(ratio, 30.0f);
    EXPECT_EQ(kvt_test::ColourConditionsMet(source.Colours(r)), 9);
    r.live = false;
    const std::vector<uint8_t> fake = source.Frame(r);
    EXPECT_LT(kvt_test::FxRatio(fake.data(), fake.data() + 384 * 320, 384, 320), 3.0f);
    EXPECT_LE(kvt_test::ColourConditionsMet(source.Colours(r)), 1);
    r.rawWidth = 192;
    r.rawHeight = 160;
    EXPECT_EQ(source.Frame(r).size(), 2u * 192u * 160u);
}

TEST(SimImageSource, ServesSeveralThreadsWithTheSameBytes) {
    SynthImageSource source(std::make_shared<FingerprintSynth>(0, 4));
    FrameRequest r;
    r.fingerId = 9;
    r.impression = 3;
    r.crossFrame = true;
    const std::vector<uint8_t> expected = source.Frame(r);
    std::vector<std::thread> threads;
    std::vector<int> same(3, 0);
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            FrameRequest mine = r;
            for (int i = 0; i < 2; ++i) same[t] += source.Frame(mine) == expected;
            mine.fingerId = 10 + t;  // other fingers at the same time
            source.Frame(mine);
        });
    }
    for (auto& t : threads) t.join();
    for (int t = 0; t < 3; ++t) EXPECT_EQ(same[t], 2);
}
