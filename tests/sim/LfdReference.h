#pragma once

// A test-side transcription of the LFD check's colour conditions and fxRatio
// (profile and envelope algorithm) with the default thresholds, written from
// the check's definition independently of the synthesizer's own measurement,
// to judge the live-finger material. To be cross-checked against CLFDCheck
// once both live in one tree.
#include <cstdint>
#include <vector>

#include "sim/LiveFingerMaterial.h"

namespace kvt_test {

// Number of the nine colour conditions met with the default thresholds.
int ColourConditionsMet(const kvt::sim::ColourReadings& m);

// HDyn + VDyn of one raw frame for the window of a picture size: the 300 x 150
// window for ROI (384 x 320) and Full (416 x 332).
struct Dynamics {
    int hdyn = 0, vdyn = 0;
};
Dynamics FrameDynamics(const uint8_t* frame, int rawWidth, int rawHeight);
// (HDyn1 + VDyn1) / (HDyn2 + VDyn2), single precision.
float FxRatio(const uint8_t* frame1, const uint8_t* frame2, int rawWidth, int rawHeight);
// Dynamic (upper minus lower envelope sum) of a profile given by its values
// without the two zero end nodes.
int ProfileDynamic(const std::vector<int>& values);

}  // namespace kvt_test
