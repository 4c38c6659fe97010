#pragma once

#include <cstdint>

// The sensor's colour readings for live finger detection, in the order the
// sensors deliver them. Zeroed before a sensor fills it.
struct LFDMeasurement {
    int16_t Ir = 0;
    int16_t Blue = 0;
    int16_t Green = 0;
    int16_t Red = 0;
    int16_t Off = 0;
};
