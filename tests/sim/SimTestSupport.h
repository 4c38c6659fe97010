#pragma once

// Small measurements that the synthesizer's tests share: byte hashes, image
// orientation and ridge period.
#include <cstdint>
#include <vector>

#include <memory>

#include "sim/FingerprintSynth.h"
#include "sim/MasterPrint.h"

namespace kvt_test {

// One synthesizer (population 0) for the whole test process, so that tests
// running in one process share the cached master prints.
std::shared_ptr<kvt::sim::FingerprintSynth> SharedSynth();

uint64_t Fnv1a(const std::vector<uint8_t>& bytes);

// Ridge orientation (radians in [0, pi), screen counter-clockwise) of an 8-bit
// image around (x, y) from the gradient structure tensor over a (2r+1)^2 window.
double ImageOrientation(const std::vector<uint8_t>& image, int width, int height, int x, int y,
                        int r);

// Smallest difference of two angles in radians, modulo period: pi for
// orientations, 2 pi for directions.
double AngleGap(double a, double b, double period);

// Median ridge period of a ridge field (positive on ridges) inside a region,
// measured as a person would with a ruler: at points on a grid, the number of
// ridges crossed along 64 pixels across the local ridge orientation (taken from
// the image's own gradients).
double MeasuredRidgePeriod(const std::vector<int8_t>& field, const std::vector<uint8_t>& region,
                           int width, int height);

}  // namespace kvt_test
