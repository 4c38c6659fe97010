#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "sim/usb/FrameSource.h"

namespace kvt::sim {
class ImageSource;
}

namespace sim {

// Realistic fingerprints for the emulated sensors: each finger id and
// impression is a synthesized touch, rendered once over the whole sensor
// plane (the "Full" window) and cut to whatever window a sensor asks for.
class SynthFrameSource final : public FrameSource {
public:
    SynthFrameSource();
    ~SynthFrameSource() override;

    void Render(const FingerOnSensor* finger, int frameIndex, int width, int height,
                int windowColumn, int windowRow, uint8_t* out) override;
    LFDMeasurement Readings(const FingerOnSensor* finger) override;

private:
    struct Touch {
        FingerOnSensor finger;
        std::vector<uint8_t> planes;  // frame 1, then the cross-polarised frame 2
    };
    const std::vector<uint8_t>& PlanesFor(const FingerOnSensor& finger);

    std::unique_ptr<kvt::sim::ImageSource> m_source;
    std::mutex m_mutex;
    // The touch rendered last: a capture asks for its frames one by one.
    Touch m_last;
    bool m_haveLast = false;
};

}  // namespace sim
