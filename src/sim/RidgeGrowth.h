#pragma once

#include <cstdint>
#include <vector>

// Ridge growth by iterative oriented (Gabor-like) filtering, after SFinGe
// (Cappelli, Maio, Maltoni): an image that holds only a few seeds is filtered
// again and again with a filter tuned per pixel to the local ridge orientation
// and period, and clipped after each pass. The seeds grow into ridge fronts
// that fill the finger; where fronts meet, or where the flow diverges, ridges
// end or fork, which gives the minutiae their natural places.
//
// All arithmetic here is integer (16-bit state, 16-bit taps, 32-bit sums), so
// the result is bit-identical on every platform and compiler.
namespace kvt::sim {

inline constexpr int kOrientationBins = 72;  // 2.5 degrees each
inline constexpr int kPeriodBins = 28;       // 6.0 .. 12.75 pixels in 0.25 steps
inline constexpr double kPeriodBinFirst = 6.0;
inline constexpr double kPeriodBinStep = 0.25;

struct GrowthInput {
    int width = 0, height = 0;
    std::vector<uint8_t> orientationBin;  // per pixel, 0..kOrientationBins-1
    std::vector<uint8_t> periodBin;       // per pixel, 0..kPeriodBins-1
    std::vector<uint8_t> region;          // 1 where ridges are to grow
    struct Seed {
        int x, y;
        double phase;
    };
    std::vector<Seed> seeds;
    int settleIterations = 8;  // passes after the region is covered
    int maxIterations = 60;
};

struct GrowthResult {
    // Clipped state after the last pass: +-127 (ridge > 0), 0 where nothing grew.
    std::vector<int16_t> state;
    // One more, unclipped pass, scaled to about +-100: a smooth ridge field.
    std::vector<int8_t> field;
    int iterations = 0;
};

GrowthResult GrowRidges(const GrowthInput& in);

// Orientation (radians, [0, pi)) and period to bins.
uint8_t OrientationToBin(double theta);
uint8_t PeriodToBin(double period);

}  // namespace kvt::sim
