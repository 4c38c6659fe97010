#pragma once

#include <cstdint>
#include <vector>

#include "sim/MasterPrint.h"

// Finds the minutiae of a clean (noise-free) ridge image: thinning, crossing
// numbers, then removal of what thinning makes of small features (spurs,
// bridges, short islands) and of ridge ends at the finger outline.
namespace kvt::sim {

struct ExtractionInput {
    int width = 0, height = 0;
    const uint8_t* ridge = nullptr;      // 1 ridge, 0 valley
    const uint8_t* inside = nullptr;     // 1 inside the finger outline
    const float* orientation = nullptr;  // radians in [0, pi), screen counter-clockwise
    int borderDistance = 16;  // minutiae closer to the outline are ridge ends of the outline
};

std::vector<Minutia> ExtractMinutiae(const ExtractionInput& in);

// Zhang-Suen thinning in place (1 = ridge).
void Thin(std::vector<uint8_t>& image, int width, int height);

}  // namespace kvt::sim
