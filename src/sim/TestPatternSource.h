#pragma once

#include "sim/ImageSource.h"

namespace kvt::sim {

// A plain deterministic image source for tests of the sensor plumbing: a
// centred pattern of concentric rings (period 9 pixels, phase from the finger
// id) on a light background, stored in raw orientation, a row and column ramp
// in the corner so orientation mistakes show, and live-finger material that
// passes (live) or fails (fake) the default LFD thresholds like the
// synthesizer's.
class TestPatternSource : public ImageSource {
public:
    std::vector<uint8_t> Frame(const FrameRequest& request) override;
    ColourReadings Colours(const FrameRequest& request) override;
};

}  // namespace kvt::sim
