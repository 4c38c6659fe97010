#include <gtest/gtest.h>

#include "sim/usb/EmulatedU2.h"
#include "sim/usb/SimSensorTest.h"

using sim::FingerOnSensor;
using sim::TestPatternSource;

namespace {

// How many of the nine colour conditions of live-finger detection hold, with
// the default bounds.
int ColourConditionsMet(const LFDMeasurement& m) {
    const int ir = m.Ir, blue = m.Blue, green = m.Green, red = m.Red, off = m.Off;
    auto between = [](double v, double low, double high) { return low < v && v < high; };
    auto ratio = [](int a, int b) { return b == 0 ? 0.0 : static_cast<double>(a) / b; };
    return between(red, 3000, 12000) + between(red - blue, 3000, 8500) +
           between(red - green, 3000, 8500) + between(red - off, 3000, 8500) +
           between(ratio(red - off, ir - off), 0.55, 0.85) + between(ratio(red, blue), 3, 99999) +
           between(ratio(red, green), 3, 99999) + between(ratio(ir, green), 3, 99999) +
           between(ratio(ir, blue), 3, 99999);
}

TEST(TestPatternSourceTest, LiveReadingsPassEveryColourConditionOthersNone) {
    TestPatternSource source;
    const FingerOnSensor live{.live = true};
    const FingerOnSensor fake{.live = false};
    EXPECT_EQ(ColourConditionsMet(source.Readings(&live)), 9);
    EXPECT_EQ(ColourConditionsMet(source.Readings(&fake)), 0);
    EXPECT_EQ(ColourConditionsMet(source.Readings(nullptr)), 0);
}

// Fills every pixel with its frame index plus 1.
class FlatSource : public sim::FrameSource {
public:
    void Render(const FingerOnSensor*, int frameIndex, int width, int height, int, int,
                uint8_t* out) override {
        std::fill(out, out + width * height, static_cast<uint8_t>(frameIndex + 1));
    }
    LFDMeasurement Readings(const FingerOnSensor*) override { return {}; }
};

class FrameSourceSwapTest : public simtest::SimSensorTest<sim::EmulatedU2> {
protected:
    void TearDown() override { sim::SetFrameSource(nullptr); }
};

TEST_F(FrameSourceSwapTest, SensorsRenderFromTheProcessWideSource) {
    Plug(sim::SensorModel::kU2, 1);
    std::vector<uint8_t> body = simtest::Descriptor(192, 160, 0, 0, 0x40);
    body.resize(16, 0);
    sim::SetFrameSource(std::make_shared<FlatSource>());
    EXPECT_EQ(host_->Exchange(0x01, body)->body, std::vector<uint8_t>(192 * 160, 2));
    sim::SetFrameSource(nullptr);
    EXPECT_EQ(host_->Exchange(0x01, body)->body, std::vector<uint8_t>(192 * 160, 255));
}

}  // namespace
