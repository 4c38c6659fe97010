// The frames and colour readings the simulated sensors show, graded by the
// library's own live-finger check: live fingers pass and fakes fail, in every
// window a sensor asks for.
#include "sim/usb/FrameSource.h"

#include <gtest/gtest.h>

#include "image/LFDCheck.h"
#include "sim/FingerprintSynth.h"
#include "sim/TestPatternSource.h"
#include "sim/usb/SynthFrameSource.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FrameSourceTest, LiveColoursMeetEveryConditionFakeOnesAtMostOne) {
    // Both frames of a live touch of the test pattern, which pass the optical
    // test, so that the colour readings alone decide the grade.
    const Bytes frames = kvt::sim::TestPatternSource().Frame({.crossFrame = true});
    const CLFDCheck check(kLFDWindow[0]);
    for (uint64_t seed = 0; seed < 2000; ++seed) {
        for (bool live : {true, false}) {
            kvt::sim::Rng rng(seed);
            const kvt::sim::ColourReadings c = kvt::sim::MakeColourReadings(live, rng);
            // Level 5 is all nine conditions; level 1 at most two, level 0 none.
            const int level = check.Conditions(frames.data(), frames.data() + 384 * 320,
                                               {c.ir, c.blue, c.green, c.red, c.off});
            ASSERT_TRUE(live ? level == 5 : level <= 1)
                << (live ? "live" : "fake") << " level " << level << ": Ir " << c.ir << " Blue "
                << c.blue << " Green " << c.green << " Red " << c.red << " Off " << c.off;
        }
    }
    // Without a finger the test pattern's readings meet no condition (live and
    // fake ones are graded below).
    EXPECT_EQ(check.Conditions(frames.data(), frames.data() + 384 * 320,
                               sim::TestPatternSource().Readings(nullptr)),
              0);
}

// Frames through every window a sensor asks for grade as the capture grades
// them. The cross-polarisation ratio passes inside (3, 30); synthetic live
// fingers keep well clear of both ends in the larger windows.
TEST(FrameSourceTest, SensorWindowsGradeLiveAsLiveAndFakeAsFake) {
    sim::SynthFrameSource synth;
    sim::TestPatternSource pattern;
    const std::pair<sim::FrameSource*, std::vector<uint32_t>> cases[] = {
        {&synth, {0, 1, 2, 3, 4, 5, 6, 7, 17, 42}}, {&pattern, {1}}};
    for (const auto& [source, fingers] : cases) {
        for (uint32_t fingerId : fingers) {
            for (bool live : {true, false}) {
                const sim::FingerOnSensor finger{fingerId, fingerId % 4, live};
                for (uint32_t pictureSize : {0u, 1u, 2u}) {
                    SCOPED_TRACE(testing::Message() << (source == &synth ? "synth" : "pattern")
                                                    << " size " << pictureSize << " finger "
                                                    << fingerId << (live ? " live" : " fake"));
                    const PictureGeometry& g = PictureGeometryFor(pictureSize);
                    const CLFDCheck check(LFDWindowFor(pictureSize));
                    Bytes frame1(static_cast<size_t>(g.rawWidth) * g.rawHeight), frame2(frame1);
                    source->Render(&finger, 0, g.rawWidth, g.rawHeight, g.windowShiftX,
                                   g.windowShiftY, frame1.data());
                    source->Render(&finger, 1, g.rawWidth, g.rawHeight, g.windowShiftX,
                                   g.windowShiftY, frame2.data());
                    const bool clear = source == &synth && pictureSize != 1;
                    float ratio = 0;
                    check.XPolRatio(frame1.data(), frame2.data(), ratio);
                    EXPECT_TRUE(live ? ratio > (clear ? 5 : 3) && ratio < (clear ? 20 : 30)
                                     : ratio < (clear ? 2.5 : 3))
                        << "cross-polarisation ratio " << ratio;
                    EXPECT_EQ(check.Check(frame1.data(), frame2.data(), source->Readings(&finger),
                                          kvt__DeviceType__Kelo_B),
                              live ? 5 : 0);
                }
            }
        }
    }
}

TEST(FrameSourceTest, SynthWindowsAreCutFromOneSensorPlane) {
    sim::SynthFrameSource source;
    const sim::FingerOnSensor finger{3, 2, true};
    Bytes full(416 * 332), roi(384 * 320);
    source.Render(&finger, 0, 416, 332, -32, -12, full.data());
    source.Render(&finger, 0, 384, 320, 0, 0, roi.data());
    // The default window lies 32 columns and 12 rows into the full one.
    for (int y = 0; y < 320; y += 29)
        for (int x = 0; x < 384; x += 31)
            ASSERT_EQ(roi[y * 384 + x], full[(y + 12) * 416 + x + 32]) << x << "," << y;
    Bytes empty(100, 0);
    source.Render(nullptr, 0, 10, 10, 0, 0, empty.data());
    EXPECT_EQ(empty, Bytes(100, 255));
}

}  // namespace
