// The synthesized touches the simulated sensors show pass the live-finger
// check for a live finger and fail it for a fake one, through the library's
// own checker, in every window a sensor asks for.
#include "sim/usb/SynthFrameSource.h"

#include <gtest/gtest.h>

#include "image/LFDCheck.h"
#include "image/PictureGeometry.h"

namespace {

struct Captured {
    std::vector<uint8_t> frame1, frame2;
    LFDMeasurement readings;
};

Captured Capture(sim::SynthFrameSource& source, const sim::FingerOnSensor& finger,
                 uint32_t pictureSize) {
    const PictureGeometry& g = PictureGeometryFor(pictureSize);
    Captured captured;
    const size_t size = static_cast<size_t>(g.rawWidth) * g.rawHeight;
    captured.frame1.resize(size);
    captured.frame2.resize(size);
    source.Render(&finger, 0, g.rawWidth, g.rawHeight, g.windowShiftX, g.windowShiftY,
                  captured.frame1.data());
    source.Render(&finger, 1, g.rawWidth, g.rawHeight, g.windowShiftX, g.windowShiftY,
                  captured.frame2.data());
    captured.readings = source.Readings(&finger);
    return captured;
}

TEST(SynthFrameSourceTest, LiveFingersPassAndFakeFingersFailTheLiveFingerCheck) {
    sim::SynthFrameSource source;
    for (uint32_t pictureSize : {0u, 1u, 2u}) {
        const CLFDCheck check(LFDWindowFor(pictureSize));
        for (uint32_t fingerId : {1u, 17u, 42u}) {
            SCOPED_TRACE(testing::Message() << "size " << pictureSize << " finger " << fingerId);
            const Captured live = Capture(source, {fingerId, 1, true}, pictureSize);
            EXPECT_EQ(check.Check(live.frame1.data(), live.frame2.data(), live.readings,
                                  kvt__DeviceType__Kelo_B),
                      5);
            const Captured fake = Capture(source, {fingerId, 1, false}, pictureSize);
            EXPECT_EQ(check.Check(fake.frame1.data(), fake.frame2.data(), fake.readings,
                                  kvt__DeviceType__Kelo_B),
                      0);
        }
    }
}

TEST(SynthFrameSourceTest, WindowsAreCutFromOneSensorPlane) {
    sim::SynthFrameSource source;
    const sim::FingerOnSensor finger{3, 2, true};
    const Captured full = Capture(source, finger, 2);
    const Captured roi = Capture(source, finger, 0);
    // The default window lies 32 columns and 12 rows into the full one.
    for (int y = 0; y < 320; y += 29) {
        for (int x = 0; x < 384; x += 31) {
            ASSERT_EQ(roi.frame1[y * 384 + x], full.frame1[(y + 12) * 416 + x + 32])
                << x << "," << y;
        }
    }
    std::vector<uint8_t> empty(100, 0);
    source.Render(nullptr, 0, 10, 10, 0, 0, empty.data());
    EXPECT_EQ(std::count(empty.begin(), empty.end(), 255), 100);
}

}  // namespace
