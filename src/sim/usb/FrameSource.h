#pragma once

#include <cstdint>
#include <memory>

#include "image/LFDMeasurement.h"

namespace sim {

// What lies on an emulated sensor.
struct FingerOnSensor {
    uint32_t fingerId = 0;
    uint32_t impression = 0;
    bool live = true;
};

// Where emulated sensors get their pictures and colour readings from. Calls
// may come from several sensors' threads at once, each with its sensor's
// lock held, so a source must not call back into a sensor.
class FrameSource {
public:
    static constexpr int kNormalFrame = 0;
    static constexpr int kCrossPolarisedFrame = 1;

    virtual ~FrameSource() = default;

    // Fills width x height bytes, rows one after the other. windowColumn and
    // windowRow place pixel (0, 0) on the sensor, relative to the origin of
    // the default 384 x 320 window; they may be negative. finger is null for
    // an empty sensor.
    virtual void Render(const FingerOnSensor* finger, int frameIndex, int width, int height,
                        int windowColumn, int windowRow, uint8_t* out) = 0;
    virtual LFDMeasurement Readings(const FingerOnSensor* finger) = 0;
};

// A picture from which a test can read back where each pixel came from:
// inside an elliptic finger area (centre (192, 160), radii 170 x 150) pixel
// (row, column) of the normal frame is (row * 7 + column * 3) & 0xFF; the
// cross-polarised frame of a live finger is that value compressed to
// 100 + (value >> 3) (little contrast, as polarised light through skin gives),
// of a fake finger the value plus 50. Outside the finger area, and on an empty
// sensor, every pixel is 255. Live readings pass the default live-finger
// thresholds, fake and empty ones fail every colour condition.
class TestPatternSource final : public FrameSource {
public:
    static uint8_t PatternValue(int row, int column) {
        return static_cast<uint8_t>(row * 7 + column * 3);
    }
    static bool InFingerArea(int row, int column);

    void Render(const FingerOnSensor* finger, int frameIndex, int width, int height,
                int windowColumn, int windowRow, uint8_t* out) override;
    LFDMeasurement Readings(const FingerOnSensor* finger) override;
};

// The source every emulated sensor renders from; a test pattern until
// another is set. Null sets the test pattern again.
void SetFrameSource(std::shared_ptr<FrameSource> source);
std::shared_ptr<FrameSource> CurrentFrameSource();

}  // namespace sim
