#pragma once

#include <cstdint>
#include <functional>

#include "common/Records.h"
#include "image/LFDMeasurement.h"
#include "properties/Properties.h"

// Reads the sensor's live-finger measurement of the capture; false when it has none.
using MeasureLFD = std::function<bool(LFDMeasurement&)>;

// The live-finger level 0..5 of a capture whose raw buffer holds both frames;
// 0 when the properties switch LFD off, in fast mode, or when measure fails.
int32_t GradeLiveFinger(const CProperties& properties, const uint8_t* raw,
                        kvt__DeviceType deviceType, const MeasureLFD& measure);
