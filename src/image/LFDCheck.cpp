#include "image/LFDCheck.h"

#include <cstring>
#include <limits>

#include "common/Log.h"
#include "image/LFDProfile.h"
#include "image/LFDThresholds.h"

namespace {

// Division that yields inf or NaN for a zero denominator without a
// floating-point trap; such a ratio fails every bound.
double Ratio(double numerator, double denominator) {
    if (denominator != 0.0) return numerator / denominator;
    if (numerator == 0.0) return std::numeric_limits<double>::quiet_NaN();
    return numerator > 0 ? std::numeric_limits<double>::infinity()
                         : -std::numeric_limits<double>::infinity();
}

template <typename T>
bool Between(T min, T value, T max) {
    return min < value && value < max;
}

}  // namespace

int32_t CLFDCheck::Check(const uint8_t* frame1, const uint8_t* frame2,
                         const LFDMeasurement& measurement, kvt__DeviceType deviceType) const {
    CFunctionTrace trace("CLFDCheck::Check");
    if (deviceType != kvt__DeviceType__Kelo_A && deviceType != kvt__DeviceType__Kelo_B) return 0;
    return Conditions(frame1, frame2, measurement);
}

int32_t CLFDCheck::Conditions(const uint8_t* frame1, const uint8_t* frame2,
                              const LFDMeasurement& measurement) const {
    CLog& log = CLog::Instance();
    const LFDThresholds& t = GetLFDThresholds();

    float fxRatio = 0;
    XPolRatio(frame1, frame2, fxRatio);
    log.Debug("CLFDCheck::fxRatioCheck Min:%.2f, fxRatio: %.2f, Max: %.2f", t.fxRatio_min,
              static_cast<double>(fxRatio), t.fxRatio_max);
    if (!Between<double>(t.fxRatio_min, fxRatio, t.fxRatio_max)) {
        log.Debug("CLFDCheck::fxRatioCheck failed");
        return 0;
    }
    log.Debug("CLFDCheck::fxRatioCheck passed");

    const int32_t ir = measurement.Ir;
    const int32_t blue = measurement.Blue;
    const int32_t green = measurement.Green;
    const int32_t red = measurement.Red;
    const int32_t off = measurement.Off;

    int met = 0;
    const auto integer = [&](const char* format, int32_t min, int32_t value, int32_t max) {
        log.Debug(format, min, value, max);
        if (Between(min, value, max)) ++met;
    };
    const auto real = [&](const char* format, double min, double value, double max) {
        log.Debug(format, min, value, max);
        if (Between(min, value, max)) ++met;
    };
    integer("CLFDCheck::Red       Min:%d, Red: %d, Max: %d", t.Red_min, red, t.Red_max);
    integer("CLFDCheck::Red-Blue  Min:%d, Red-Blue: %d, Max: %d", t.RedMinusBlue_min, red - blue,
            t.RedMinusBlue_max);
    integer("CLFDCheck::Red-Green Min:%d, Red-Green: %d, Max: %d", t.RedMinusGreen_min, red - green,
            t.RedMinusGreen_max);
    integer("CLFDCheck::Red-Off   Min:%d, Red-Off: %d, Max: %d", t.RedMinusOff_min, red - off,
            t.RedMinusOff_max);
    real("CLFDCheck::Red/Ir    Min:%.2f, (Red-Off)/(Ir-Off): %.2f, Max: %.2f", t.RedOffByIROff_min,
         Ratio(red - off, ir - off), t.RedOffByIROff_max);
    real("CLFDCheck::Red/Blue  Min:%.2f, Red/Blue: %.2f, Max: %.2f", t.RedByBlue_min,
         Ratio(red, blue), t.RedByBlue_max);
    real("CLFDCheck::Red/Green Min:%.2f, Red/Green: %.2f, Max: %.2f", t.RedByGreen_min,
         Ratio(red, green), t.RedByGreen_max);
    real("CLFDCheck::Ir/Green  Min:%.2f, Ir/Green: %.2f, Max: %.2f", t.IRByGreen_min,
         Ratio(ir, green), t.IRByGreen_max);
    real("CLFDCheck::Ir/Blue   Min:%.2f, Ir/Blue: %.2f, Max: %.2f", t.IRByBlue_min, Ratio(ir, blue),
         t.IRByBlue_max);

    log.Debug("CLFDCheck::Conditions passed (exkl. fxRatio): %d", met);
    return (met + 1) / 2;
}

int32_t CLFDCheck::XPolRatio(const uint8_t* frame1, const uint8_t* frame2, float& fxRatio) const {
    CLog& log = CLog::Instance();
    const Dynamics d1 = Measure(frame1);
    const Dynamics d2 = Measure(frame2);
    log.Debug(
        "CLFDCheck::XPolRatio_1 Image 1, HMin: %d, HMax:%d, VMin: %d, VMax: %d; Image 2 (Cross) "
        "HMin: %d, HMax:%d, VMin: %d, VMax: %d",
        static_cast<int>(d1.hMin), static_cast<int>(d1.hMax), static_cast<int>(d1.vMin),
        static_cast<int>(d1.vMax), static_cast<int>(d2.hMin), static_cast<int>(d2.hMax),
        static_cast<int>(d2.vMin), static_cast<int>(d2.vMax));

    // Unsigned differences read as signed: an envelope sum may be the smaller.
    const auto hDyn1 = static_cast<int32_t>(d1.hMax - d1.hMin);
    const auto vDyn1 = static_cast<int32_t>(d1.vMax - d1.vMin);
    const auto hDyn2 = static_cast<int32_t>(d2.hMax - d2.hMin);
    const auto vDyn2 = static_cast<int32_t>(d2.vMax - d2.vMin);
    log.Debug(
        "CLFDCheck::XPolRatio_2 Image 1, HDyn: %d, VDyn:%d;  Image 2 (Cross) HDyn: %d, VDyn:%d",
        hDyn1, vDyn1, hDyn2, vDyn2);

    fxRatio = static_cast<float>(Ratio(hDyn1 + vDyn1, hDyn2 + vDyn2));
    const int32_t rating = Quantized(fxRatio);
    log.Debug("CLFDCheck::XPolRatio_3 fxRatio = (%d + %d) / (%d + %d) = %f", hDyn1, vDyn1, hDyn2,
              vDyn2, static_cast<double>(fxRatio));
    log.Debug("CLFDCheck::XPolRatio_4 fake probability = Quantized(fxRatio) = %d", rating);
    return rating;
}

int32_t CLFDCheck::Quantized(double x) {
    constexpr double kLow = 2.0;
    constexpr double kHigh = 30.0;
    constexpr double kStep = (kHigh - kLow) * 0.125;
    if (x < kLow - 2 * kStep || x > kHigh + 2 * kStep) return 150;
    if (x < kLow - kStep || x > kHigh + kStep) return 125;
    if (x < kLow || x > kHigh) return 100;
    if (x < kLow + kStep || x > kHigh - kStep) return 50;
    if (x < kLow + 2 * kStep || x > kHigh - 2 * kStep) return 25;
    return 0;
}

std::vector<uint8_t> CLFDCheck::ExtractWindow(const uint8_t* frame) const {
    const int32_t w = m_window.windowWidth;
    const int32_t h = m_window.windowHeight;
    const int32_t left = (m_window.rawWidth - w) / 2;
    const int32_t top = (m_window.rawHeight - h) / 2;
    std::vector<uint8_t> window(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int32_t m = 0; m < h; ++m) {
        const uint8_t* row = frame + static_cast<size_t>(top + h - 1 - m) * m_window.rawWidth;
        std::memcpy(window.data() + static_cast<size_t>(m) * w, row + left, static_cast<size_t>(w));
    }
    return window;
}

// "Half" has a 150 x 75 window where the others have 300 x 150. The profile
// bands are placed relative to the window size (LFDProfile.h), so "Half" gets
// the same optical test at half the scale rather than none.
CLFDCheck::Dynamics CLFDCheck::Measure(const uint8_t* frame) const {
    const std::vector<uint8_t> window = ExtractWindow(frame);
    const int32_t w = m_window.windowWidth;
    const int32_t h = m_window.windowHeight;
    const LFDProfile horizontal = HorizontalProfile(window.data(), w, h);
    const LFDProfile vertical = VerticalProfile(window.data(), w, h);
    return {SumOfValues(LowerEnvelope(horizontal)), SumOfValues(UpperEnvelope(horizontal)),
            SumOfValues(LowerEnvelope(vertical)), SumOfValues(UpperEnvelope(vertical))};
}
