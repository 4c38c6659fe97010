#pragma once

#include <cstdint>
#include <vector>

#include "sim/LiveFingerMaterial.h"

// What an emulated sensor asks for when a finger lies on it: the raw frame (in
// the sensor's raw geometry and orientation, so that the library's make-up
// delivers an upright picture), the cross-polarised second frame when live
// finger detection is on, and the colour readings of the LFD measurement.
namespace kvt::sim {

struct FrameRequest {
    int rawWidth = 384;  // raw frame size (make-up's geometry table)
    int rawHeight = 320;
    uint32_t fingerId = 0;    // virtual finger
    uint32_t impression = 0;  // which touch of that finger
    bool live = true;         // a live finger or a fake one
    bool crossFrame = false;  // append the cross-polarised frame 2
};

class ImageSource {
public:
    virtual ~ImageSource() = default;
    // rawWidth x rawHeight bytes of frame 1, row after row; with crossFrame,
    // followed by frame 2 of the same size. The same request always gives the
    // same bytes. Safe to call from several threads at once.
    virtual std::vector<uint8_t> Frame(const FrameRequest& request) = 0;
    // The colour readings (Ir, Blue, Green, Red, Off) of the same touch.
    virtual ColourReadings Colours(const FrameRequest& request) = 0;
};

}  // namespace kvt::sim
