#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/DataFile.h"
#include "devicemanager/DeviceManagerConfig.h"
#include "devicemanager/DevicePtr.h"
#include "devicemanager/DevicesManager.h"
#include "image/LFDCheck.h"
#include "image/LFDProfile.h"
#include "image/LFDThresholds.h"
#include "image/PLTextException.h"
#include "support/LoggedTest.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"

using testing::HasSubstr;

namespace {

// A sensor whose colour measurement can fail, throw or come from another model.
class FakeSensor : public kvt_test::TestDevice {
public:
    bool measures = true;
    kvt__DeviceType type = kvt__DeviceType__Kelo_B;
    std::function<void()> duringMeasurement;
    int calls = 0;

    bool GetBoundLFD(int timeout, LFDMeasurement& out) override {
        ++calls;
        if (duringMeasurement) duringMeasurement();
        return measures && TestDevice::GetBoundLFD(timeout, out);
    }
    kvt__DeviceType GetDeviceType() override { return type; }
};

// Colour readings that meet all nine conditions of the default thresholds.
constexpr LFDMeasurement kLive{8000, 1000, 1000, 6000, 0};

// Frame 1 then frame 2, each a checkerboard of 8-pixel cells; frame 2 has
// the lower contrast, as a live finger shows under crossed polarisers.
std::vector<uint8_t> Frames(const LFDWindow& window, int contrast1, int contrast2) {
    const size_t frame = static_cast<size_t>(window.rawWidth) * window.rawHeight;
    std::vector<uint8_t> raw(2 * frame);
    for (size_t i = 0; i < raw.size(); ++i) {
        const size_t pixel = i % frame;
        const bool light = ((pixel % window.rawWidth) / 8 + (pixel / window.rawWidth) / 8) % 2;
        const int contrast = i < frame ? contrast1 : contrast2;
        raw[i] = static_cast<uint8_t>(100 + (light ? contrast / 2 : -contrast / 2));
    }
    return raw;
}

LFDProfile Profile(const std::vector<uint8_t>& values) {
    LFDProfile profile(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        profile[i].b = static_cast<int32_t>(i);
        profile[i].value = values[i];
    }
    return profile;
}

std::vector<uint8_t> Values(const LFDProfile& profile) {
    std::vector<uint8_t> values;
    for (const ProfileNode& node : profile) values.push_back(node.value);
    return values;
}

// Thresholds are process-wide: every test starts and ends with the defaults.
class LFDTest : public kvt_test::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        LoadLFDThresholds(CDataFile{});
    }
    void TearDown() override {
        LoadLFDThresholds(CDataFile{});
        LoggedTest::TearDown();
    }

    static void Load(std::initializer_list<std::pair<const char*, std::string>> keys) {
        CDataFile file;
        for (const auto& [key, value] : keys) file.SetValue(key, value);
        LoadLFDThresholds(file);
    }

    static int32_t Level(const std::vector<uint8_t>& raw, const LFDMeasurement& measurement) {
        return CLFDCheck(kLFDWindow[0])
            .Check(raw.data(), raw.data() + raw.size() / 2, measurement, kvt__DeviceType__Kelo_B);
    }

    static float FxRatio(const std::vector<uint8_t>& raw, uint32_t pictureSize = 0) {
        float fxRatio = 0;
        CLFDCheck(kLFDWindow[pictureSize])
            .XPolRatio(raw.data(), raw.data() + raw.size() / 2, fxRatio);
        return fxRatio;
    }

    const std::vector<uint8_t> live_ = Frames(kLFDWindow[0], 200, 40);
};

TEST_F(LFDTest, EnvelopesOfASinglePeakAndOfAConstantProfileAndTheRatioBands) {
    const LFDProfile peak = Profile({0, 10, 20, 30, 25, 15, 5, 0});
    const LFDProfile upper = UpperEnvelope(peak);
    std::vector<bool> marked;
    for (const ProfileNode& node : upper) marked.push_back(node.mark);
    EXPECT_EQ(marked, (std::vector<bool>{1, 0, 0, 1, 0, 0, 0, 1}));
    // Two straight lines, truncated toward zero on the way down.
    EXPECT_EQ(Values(upper), (std::vector<uint8_t>{0, 10, 20, 30, 23, 15, 8, 0}));
    EXPECT_EQ(Values(LowerEnvelope(peak)), Values(peak));

    // The lower envelope dips at the last sample towards the zero end node.
    for (size_t length : {10u, 300u}) {
        std::vector<uint8_t> values(length + 2, 100);
        values.front() = values.back() = 0;
        const LFDProfile flat = Profile(values);
        EXPECT_EQ(SumOfValues(UpperEnvelope(flat)) - SumOfValues(LowerEnvelope(flat)), 50u)
            << length;
    }

    // The ratio is rated in bands.
    const std::pair<double, int32_t> ratings[] = {{16, 0}, {24, 25},  {1, 100},    {40, 150},
                                                  {3, 50}, {34, 125}, {-5.5, 150}, {9, 0}};
    for (const auto& [x, rating] : ratings) EXPECT_EQ(CLFDCheck::Quantized(x), rating) << x;
}

TEST_F(LFDTest, TheWindowIsTheFramesCentreAndItsProfilesAverageFourLines) {
    std::vector<uint8_t> frame(384 * 320, 0);
    frame[234 * 384 + 42] = 1;       // window row 0, column 0
    frame[85 * 384 + 42 + 299] = 2;  // window row 149, column 299
    frame[84 * 384 + 42] = 3;        // just above the window
    std::vector<uint8_t> window = CLFDCheck(kLFDWindow[0]).ExtractWindow(frame.data());
    ASSERT_EQ(window.size(), 300u * 150u);
    EXPECT_EQ(std::tuple(window[0], window.back(), std::count(window.begin(), window.end(), 3)),
              std::tuple(1, 2, 0));

    // Rows 73..76 and columns 118..121 count; their neighbours do not.
    const uint8_t band[] = {255, 10, 20, 30, 41, 255};
    for (int32_t i = 0; i < 300 * 6; ++i) window[72 * 300 + i] = band[i / 300];
    for (int32_t i = 0; i < 150 * 6; ++i) window[(i % 150) * 300 + 117 + i / 150] = band[i / 150];
    const LFDProfile horizontal = HorizontalProfile(window.data(), 300, 150);
    const LFDProfile vertical = VerticalProfile(window.data(), 300, 150);
    ASSERT_EQ(std::pair(horizontal.size(), vertical.size()), std::pair(size_t{302}, size_t{152}));
    EXPECT_EQ(std::tuple(horizontal[1].value, horizontal[300].value, horizontal[301].value,
                         vertical[150].value, vertical[151].b),
              std::tuple(25, 25, 0, 25, 151));
}

TEST_F(LFDTest, LevelFollowsTheMetConditionsWithStrictBoundsAndFramesWithoutContrastLossFail) {
    ASSERT_TRUE(FxRatio(live_) > 3.0f && FxRatio(live_) < 30.0f) << FxRatio(live_);
    const std::pair<LFDMeasurement, int32_t> cases[] = {
        {kLive, 5},
        {{6000, 1000, 1000, 6000, 0}, 4},  // (Red - Off) / (Ir - Off) = 1.0
        {{150, 1000, 1000, 100, 0}, 1},    // only (Red - Off) / (Ir - Off) = 0.67 holds
        {{}, 0},
        // Red is the only condition that changes between these two.
        {{4000, 1, 1, 3000, -1}, 3},
        {{4000, 1, 1, 3001, -1}, 4},
    };
    for (const auto& [measurement, level] : cases)
        EXPECT_EQ(Level(live_, measurement), level) << measurement.Red << " " << measurement.Ir;

    // Equal LED readings fail the IR ratio whatever its bounds.
    Load({{"RedOffByIROff_min", "-99999"}, {"RedOffByIROff_max", "99999"}});
    EXPECT_EQ(Level(live_, {0, 1000, 1000, 6000, 0}), 3);
    EXPECT_EQ(Level(live_, {1, 1000, 1000, 6000, 0}), 4);

    // fxRatio exactly on either bound fails; the reader's single precision
    // matches the ratio's.
    char fxRatio[32];
    std::snprintf(fxRatio, sizeof fxRatio, "%.9g", FxRatio(live_));
    for (const char* bound : {"fxRatio_min", "fxRatio_max"}) {
        Load({{bound, fxRatio}});
        EXPECT_EQ(Level(live_, kLive), 0) << bound;
    }

    // Frames without contrast loss fail the optical test on every window.
    Load({});
    const std::vector<uint8_t> same = Frames(kLFDWindow[0], 200, 200), black(2 * 384 * 320, 0);
    std::vector<uint8_t> blackCross = live_;
    std::fill(blackCross.begin() + 384 * 320, blackCross.end(), 0);
    EXPECT_EQ(
        std::tuple(FxRatio(same), std::isnan(FxRatio(black)), std::isinf(FxRatio(blackCross))),
        std::tuple(1.0f, true, true));
    EXPECT_EQ(std::tuple(Level(same, kLive), Level(black, kLive), Level(blackCross, kLive)),
              std::tuple(0, 0, 0));

    // "Half" measures its 150 x 75 window with the profile bands at the same
    // relative places, so it grades like the larger sizes.
    EXPECT_NEAR(FxRatio(Frames(kLFDWindow[1], 200, 40), 1), FxRatio(live_), 1.0);
    EXPECT_EQ(FxRatio(Frames(kLFDWindow[1], 90, 90), 1), 1.0f);
}

TEST_F(LFDTest, ThresholdsComeFromTheFileWithDefaultsForZeroOrMissingKeys) {
    Load({{"Red_min", "5000"},
          {"Red_max", "0"},
          {"RedOffByIROff_min", "0.55"},
          {"fxRatio_max", "0"},
          {"IRByBlue_max", "12.5"}});
    const LFDThresholds& t = GetLFDThresholds();
    // Read in single precision, like the ratios they bound.
    EXPECT_EQ(std::tuple(t.Red_min, t.Red_max, t.RedOffByIROff_min, t.RedOffByIROff_max,
                         t.fxRatio_max, t.IRByBlue_max),
              std::tuple(5000, 12000, static_cast<double>(0.55f), 0.85, 30.0, 12.5));

    // Through the device manager's configuration: a file sets them, a start
    // without a file takes every default.
    const std::string path = (m_logDir / "KVTDeviceManager.ini").string();
    kvt_test::WriteFile(path, "Port=82\nRedMinusOff_max=7000\nfxRatio_min=4.5\n");
    const auto read = [&] {
        DeviceManagerConfig().Read(path);
        return std::tuple(t.RedMinusOff_max, t.fxRatio_min, t.Red_min);
    };
    EXPECT_EQ(read(), std::tuple(7000, 4.5, 3000));
    std::remove(path.c_str());
    EXPECT_EQ(read(), std::tuple(8500, 3.0, 3000));
}

TEST_F(LFDTest, TheManagerGradesOnlyWhenAskedAndTheSensorMeasuresAndLetsBitmapErrorsThrough) {
    DevicePtr device = MakeDevice<FakeSensor>();
    auto* sensor = static_cast<FakeSensor*>(device.get());
    sensor->lfd = kLive;
    CProperties properties;
    properties.SetProperty("LFD", "true");
    const auto grade = [&] {
        return CDevicesManager::GetLFDLevel(device, properties, live_.data());
    };
    EXPECT_EQ((std::tuple{grade(), device.UseCount()}), std::tuple(5, 1));
    EXPECT_THAT(LogText(), HasSubstr("CDevicesManager::GetLFDLevel: LFD-level: 5"));

    // A sensor that cannot measure, or a model without the measurement, grades zero.
    for (const auto& [measures, type, level] : {std::tuple{false, kvt__DeviceType__Kelo_B, 0},
                                                {true, kvt__DeviceType__Kelo_C, 0},
                                                {true, kvt__DeviceType__Kelo_A, 5}}) {
        std::tie(sensor->measures, sensor->type) = std::tie(measures, type);
        EXPECT_EQ(grade(), level) << type;
    }

    const int asked = sensor->calls;
    properties.SetProperty("FastMode", "true");
    EXPECT_EQ(grade(), 0);
    EXPECT_THAT(LogText(),
                HasSubstr("CDevicesManager::GetLFDLevel: FastMode and LFD requested. At FastMode "
                          "LFD will be skipped."));
    properties.SetProperty("FastMode", "false");
    properties.SetProperty("LFD", "false");
    EXPECT_EQ((std::pair{grade(), sensor->calls}), std::pair(0, asked));

    // Standard failures cost the level, bitmap errors pass through.
    properties.SetProperty("LFD", "true");
    sensor->duringMeasurement = [] { throw std::runtime_error("boom"); };
    EXPECT_EQ(grade(), 0);
    EXPECT_THAT(LogText(), HasSubstr("CDevicesManager::GetLFDLevel: LFD check failed: boom"));

    sensor->duringMeasurement = [] { throw PLTextException(kPLErrNoMemory, "Out of memory."); };
    EXPECT_THROW(grade(), PLTextException);
    EXPECT_EQ(device.UseCount(), 1);
}

}  // namespace
