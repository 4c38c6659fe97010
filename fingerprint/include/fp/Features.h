// The features our extractor finds and our matcher compares. Coordinates are
// pixels of the image the features came from, with the origin in its first row.
#pragma once

#include <cstdint>
#include <vector>

namespace fp {

enum class MinutiaType : std::uint8_t { Other = 0, Ending = 1, Bifurcation = 2 };

struct Minutia {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    // Angle in steps of pi/128 (0..255 covers the full turn), counter-clockwise
    // in image coordinates (x right, y down). For an ending it points out of the
    // ridge, for a bifurcation along its stem, so both agree when pressure turns
    // one type into the other.
    std::uint8_t direction = 0;
    MinutiaType type = MinutiaType::Other;
    std::uint8_t quality = 0;    // 0..100
    std::uint8_t curvature = 0;  // 0 straight ridges .. 255 strongly curved
    std::uint8_t period = 0;     // local ridge period in tenths of a pixel, 0 unknown
};

enum class SingularType : std::uint8_t { Core = 1, Delta = 2, DoubleCore = 3 };

struct SingularPoint {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    SingularType type = SingularType::Core;
    std::uint8_t direction = 0;  // same unit as Minutia::direction, 0 when unknown
};

// Foreground of the image on a coarse grid; the matcher uses it to tell which
// minutiae of one print could have been seen in the other.
struct ForegroundMask {
    std::uint8_t cell = 16;  // pixels per cell side
    std::uint16_t columns = 0;
    std::uint16_t rows = 0;
    std::vector<std::uint8_t> bits;  // one byte per cell, 0 or 1, row-major

    bool At(int column, int row) const {
        if (column < 0 || row < 0 || column >= columns || row >= rows) return false;
        return bits[static_cast<std::size_t>(row) * columns + column] != 0;
    }
};

// Ridge orientation on a coarse grid, for checking an alignment beyond the minutiae.
struct OrientationGrid {
    static constexpr std::uint8_t kNone = 255;  // background cell
    std::uint8_t cell = 16;
    std::uint16_t columns = 0;
    std::uint16_t rows = 0;
    std::vector<std::uint8_t> angles;  // ridge direction in steps of pi/255 (0..254), row-major

    std::uint8_t At(int column, int row) const {
        if (column < 0 || row < 0 || column >= columns || row >= rows) return kNone;
        return angles[static_cast<std::size_t>(row) * columns + column];
    }
};

// A ridge count not measured: the line between the two minutiae leaves the
// print's foreground.
inline constexpr std::uint8_t kUnknownRidgeCount = 255;

struct Features {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t resolution = 500;  // dots per inch
    std::vector<Minutia> minutiae;
    std::vector<SingularPoint> singularPoints;
    ForegroundMask mask;          // empty (0 columns) in small templates
    OrientationGrid orientation;  // empty in small templates
    // Ridges crossed between each minutia and its nearest neighbours, eight
    // per minutia in the order of the template's neighbour lists (nearest
    // first), kUnknownRidgeCount where not measured or no neighbour. Empty
    // when the features do not carry them; whoever changes the minutiae
    // clears them.
    std::vector<std::uint8_t> ridgeCounts;
};

}  // namespace fp
