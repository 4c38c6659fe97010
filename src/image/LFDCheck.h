#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/Records.h"
#include "image/LFDMeasurement.h"
#include "image/PictureGeometry.h"

// The analysis window of live finger detection for each PictureSize value: the
// raw frame it lies in and its size. The window sits in the frame's centre.
struct LFDWindow {
    int32_t rawWidth;
    int32_t rawHeight;
    int32_t windowWidth;
    int32_t windowHeight;
};

inline constexpr std::array<LFDWindow, 3> kLFDWindow{{
    {384, 320, 300, 150},
    {192, 160, 150, 75},
    {416, 332, 300, 150},
}};

static_assert([] {
    for (size_t i = 0; i < kLFDWindow.size(); ++i) {
        if (kLFDWindow[i].rawWidth != kPictureGeometry[i].rawWidth ||
            kLFDWindow[i].rawHeight != kPictureGeometry[i].rawHeight)
            return false;
    }
    return true;
}());

// Throws std::out_of_range for a value the property store would not accept.
inline const LFDWindow& LFDWindowFor(uint32_t pictureSize) {
    return kLFDWindow.at(pictureSize);
}

// Grades one capture: the colour measurement against the thresholds, gated by
// the optical test, which compares the intensity dynamics of the normal frame
// with those of the cross-polarised frame (fxRatio). A live finger scatters
// light and loses contrast under crossed polarisers; an imitation keeps it.
// Frames are raw frames of the window's size.
class CLFDCheck {
public:
    explicit CLFDCheck(const LFDWindow& window) : m_window(window) {}

    // 0 for a device type without colour measurement, else Conditions.
    int32_t Check(const uint8_t* frame1, const uint8_t* frame2, const LFDMeasurement& measurement,
                  kvt__DeviceType deviceType) const;
    // 0 unless fxRatio lies in its bounds; else 0..5 from the number of met
    // colour conditions (9 → 5, 7-8 → 4, 5-6 → 3, 3-4 → 2, 1-2 → 1).
    int32_t Conditions(const uint8_t* frame1, const uint8_t* frame2,
                       const LFDMeasurement& measurement) const;
    // Writes fxRatio and returns its fake rating (logged only).
    int32_t XPolRatio(const uint8_t* frame1, const uint8_t* frame2, float& fxRatio) const;

    // 0 well inside [2, 30], rising in steps to 150 far outside it.
    static int32_t Quantized(double x);

    // The window cut from the frame's centre, lowest row first, as w x h
    // contiguous bytes.
    std::vector<uint8_t> ExtractWindow(const uint8_t* frame) const;

private:
    struct Dynamics {
        uint32_t hMin, hMax, vMin, vMax;
    };

    Dynamics Measure(const uint8_t* frame) const;

    const LFDWindow& m_window;
};
