#include "sim/usb/SynthFrameSource.h"

#include <cstring>

#include "sim/FingerprintSynth.h"

namespace sim {

namespace {

// The sensor plane is the "Full" window: 416 x 332, placed at (-32, -12)
// relative to the default window.
constexpr int kPlaneWidth = 416;
constexpr int kPlaneHeight = 332;
constexpr int kPlaneColumn = -32;
constexpr int kPlaneRow = -12;
constexpr uint8_t kBackground = 255;

kvt::sim::FrameRequest RequestFor(const FingerOnSensor& finger) {
    kvt::sim::FrameRequest request;
    request.rawWidth = kPlaneWidth;
    request.rawHeight = kPlaneHeight;
    request.fingerId = finger.fingerId;
    request.impression = finger.impression;
    request.live = finger.live;
    request.crossFrame = true;
    return request;
}

}  // namespace

SynthFrameSource::SynthFrameSource() : m_source(std::make_unique<kvt::sim::SynthImageSource>()) {}

SynthFrameSource::~SynthFrameSource() = default;

const std::vector<uint8_t>& SynthFrameSource::PlanesFor(const FingerOnSensor& finger) {
    if (!m_haveLast || m_last.finger.fingerId != finger.fingerId ||
        m_last.finger.impression != finger.impression || m_last.finger.live != finger.live) {
        m_last.finger = finger;
        m_last.planes = m_source->Frame(RequestFor(finger));
        m_haveLast = true;
    }
    return m_last.planes;
}

void SynthFrameSource::Render(const FingerOnSensor* finger, int frameIndex, int width, int height,
                              int windowColumn, int windowRow, uint8_t* out) {
    const size_t size = static_cast<size_t>(width) * height;
    std::memset(out, kBackground, size);
    if (finger == nullptr || frameIndex < 0 || frameIndex > 1) return;
    std::lock_guard lock(m_mutex);
    const std::vector<uint8_t>& planes = PlanesFor(*finger);
    const size_t planeSize = static_cast<size_t>(kPlaneWidth) * kPlaneHeight;
    if (planes.size() < 2 * planeSize) return;
    const uint8_t* plane = planes.data() + frameIndex * planeSize;
    for (int y = 0; y < height; ++y) {
        const int planeY = windowRow - kPlaneRow + y;
        if (planeY < 0 || planeY >= kPlaneHeight) continue;
        for (int x = 0; x < width; ++x) {
            const int planeX = windowColumn - kPlaneColumn + x;
            if (planeX < 0 || planeX >= kPlaneWidth) continue;
            out[static_cast<size_t>(y) * width + x] = plane[planeY * kPlaneWidth + planeX];
        }
    }
}

LFDMeasurement SynthFrameSource::Readings(const FingerOnSensor* finger) {
    LFDMeasurement measurement;
    if (finger == nullptr) return measurement;
    const kvt::sim::ColourReadings colours = m_source->Colours(RequestFor(*finger));
    measurement.Ir = colours.ir;
    measurement.Blue = colours.blue;
    measurement.Green = colours.green;
    measurement.Red = colours.red;
    measurement.Off = colours.off;
    return measurement;
}

}  // namespace sim
