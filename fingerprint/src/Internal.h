// Building blocks of the extractor, shared between its translation units and
// its tests. Not part of the library's interface.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "fp/Extractor.h"

// Four pixels at a time where SSE2 is there; the portable build of the engine
// (FP_MATCHER_PORTABLE, see the tests) uses plain C++ for the same results.
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(FP_MATCHER_PORTABLE)
#include <emmintrin.h>
#define FP_EXTRACTOR_SSE2 1
#endif

namespace fp::detail {

inline constexpr float kPi = std::numbers::pi_v<float>;

struct FloatImage {
    int width = 0, height = 0;
    std::vector<float> v;
    FloatImage() = default;
    FloatImage(int w, int h, float fill = 0.f)
        : width(w), height(h), v(static_cast<std::size_t>(w) * h, fill) {}
    float& at(int x, int y) { return v[static_cast<std::size_t>(y) * width + x]; }
    float at(int x, int y) const { return v[static_cast<std::size_t>(y) * width + x]; }
};

struct ByteImage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> v;
    ByteImage() = default;
    ByteImage(int w, int h, std::uint8_t fill = 0)
        : width(w), height(h), v(static_cast<std::size_t>(w) * h, fill) {}
    std::uint8_t& at(int x, int y) { return v[static_cast<std::size_t>(y) * width + x]; }
    std::uint8_t at(int x, int y) const { return v[static_cast<std::size_t>(y) * width + x]; }
    bool get(int x, int y) const {
        return x >= 0 && y >= 0 && x < width && y < height && at(x, y) != 0;
    }
};

// Per-block fields on a grid of kBlock-pixel blocks; values belong to the
// block centres and are interpolated in between.
inline constexpr int kBlock = 8;

struct BlockField {
    int columns = 0, rows = 0;
    std::vector<float> cos2, sin2;  // doubled angle of the ridge direction, length = coherence
    std::vector<float> period;      // ridge period in pixels
    std::vector<float> mean, deviation;
    std::vector<std::uint8_t> mask;   // foreground blocks
    std::vector<std::uint8_t> depth;  // blocks to the nearest background block (0 background)
    float typicalPeriod = 0;          // median of the measured periods, 0 when too few

    std::size_t index(int c, int r) const { return static_cast<std::size_t>(r) * columns + c; }
    bool inMask(int c, int r) const {
        return c >= 0 && r >= 0 && c < columns && r < rows && mask[index(c, r)] != 0;
    }
    // Ridge direction in [0, pi) at a pixel position, and its coherence.
    float orientationAt(float x, float y, float* coherence = nullptr) const;
    float periodAt(float x, float y) const;
    float depthAt(float x, float y) const;
};

// Gradient structure, segmentation, smoothed orientation and ridge period.
BlockField ComputeField(const FloatImage& image);

// Contextual filtering: a Gaussian along the ridges (sigma in pixels), then an
// even Gabor across them (sigma in ridge periods).
struct Enhancement {
    float alongSigma = 4.5f;  // bridges the gaps of dry or broken ridges
    float acrossSigma = 0.45f;
};

// Ridges as 1, valleys and background as 0; without enhancement, the sign of
// the locally normalised grey level.
ByteImage Binarise(const FloatImage& image, const BlockField& field, const Enhancement* enhance);

// One-pixel-wide ridges (Zhang-Suen thinning), in place.
void Thin(ByteImage& ridges);

// Minutiae on the skeleton of `ridges`, with false ones removed, best quality first.
// `reserve`, when given, receives the doubtful ones (a trace that dies early,
// facing endings across a gap) at half quality, best first: a print too poor
// for a template may take them.
std::vector<Minutia> FindMinutiae(const ByteImage& skeleton, const ByteImage& ridges,
                                  const BlockField& field, const ExtractorSettings& settings,
                                  std::vector<Minutia>* reserve = nullptr);

std::vector<SingularPoint> FindSingularPoints(const BlockField& field,
                                              const ExtractorSettings& settings);

// Ridges crossed on the straight line from (ax, ay) to (bx, by), not counting
// the ones the two ends lie on; kUnknownRidgeCount where the line leaves the
// foreground.
std::uint8_t CountRidges(const ByteImage& ridges, const BlockField& field, int ax, int ay, int bx,
                         int by);
// Fills f.ridgeCounts from the ridge image the minutiae were found on.
void CountNeighbourRidges(const ByteImage& ridges, const BlockField& field, Features& f);

inline float WrapAngle(float a) {  // to [0, 2 pi)
    a = std::fmod(a, 2 * kPi);
    return a < 0 ? a + 2 * kPi : a;
}

inline float AngleDistance(float a, float b) {  // in [0, pi]
    float d = std::fabs(WrapAngle(a) - WrapAngle(b));
    return d > kPi ? 2 * kPi - d : d;
}

inline std::uint8_t AngleToByte(float a) {
    return static_cast<std::uint8_t>(static_cast<int>(std::lround(WrapAngle(a) * 128 / kPi)) &
                                     0xFF);
}

inline float ByteToAngle(std::uint8_t b) {
    return static_cast<float>(b) * kPi / 128;
}

}  // namespace fp::detail
