#include "sim/usb/FrameSource.h"

#include <mutex>

#include "platform/Immortal.h"

namespace sim {

bool TestPatternSource::InFingerArea(int row, int column) {
    const double dx = (column - 192) / 170.0;
    const double dy = (row - 160) / 150.0;
    return dx * dx + dy * dy <= 1.0;
}

void TestPatternSource::Render(const FingerOnSensor* finger, int frameIndex, int width, int height,
                               int windowColumn, int windowRow, uint8_t* out) {
    for (int y = 0; y < height; ++y) {
        const int row = windowRow + y;
        uint8_t* line = out + static_cast<size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const int column = windowColumn + x;
            if (finger == nullptr || !InFingerArea(row, column)) {
                line[x] = 255;
                continue;
            }
            const uint8_t value = PatternValue(row, column);
            if (frameIndex != kCrossPolarisedFrame)
                line[x] = value;
            else if (finger->live)
                line[x] = static_cast<uint8_t>(100 + (value >> 3));
            else
                line[x] = static_cast<uint8_t>(value + 50);
        }
    }
}

LFDMeasurement TestPatternSource::Readings(const FingerOnSensor* finger) {
    LFDMeasurement m;
    m.Off = 500;
    if (finger == nullptr) {
        m.Ir = 540;
        m.Red = 560;
        m.Green = 540;
        m.Blue = 530;
    } else if (finger->live) {
        // Skin: red and infrared pass, green and blue are absorbed.
        m.Ir = 9000;
        m.Red = 7000;
        m.Green = 1500;
        m.Blue = 1200;
    } else {
        // Silicone and the like reflect all colours about alike.
        m.Ir = 2500;
        m.Red = 2400;
        m.Green = 2200;
        m.Blue = 2100;
    }
    return m;
}

namespace {

struct SourceSlot {
    std::mutex mutex;
    std::shared_ptr<FrameSource> source = std::make_shared<TestPatternSource>();
};

SourceSlot& Slot() {
    static platform::Immortal<SourceSlot> slot;
    return slot.Get();
}

}  // namespace

void SetFrameSource(std::shared_ptr<FrameSource> source) {
    if (!source) source = std::make_shared<TestPatternSource>();
    SourceSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.source = std::move(source);
}

std::shared_ptr<FrameSource> CurrentFrameSource() {
    SourceSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    return slot.source;
}

}  // namespace sim
