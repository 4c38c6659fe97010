#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Master prints: one per virtual finger id, the finger itself from which every
// impression is taken. Pure data; see MasterGenerator.h for how they are made.
//
// Coordinates throughout the synthesizer: x to the right, y downwards, in
// pixels at 500 dpi. Angles are in degrees, counter-clockwise as seen on the
// screen from the positive x axis (a direction (dx, dy) in image coordinates
// has the angle atan2(-dy, dx)).
namespace kvt::sim {

enum class PatternClass : uint8_t {
    Arch = 0,
    TentedArch = 1,
    LeftLoop = 2,
    RightLoop = 3,
    Whorl = 4
};
inline constexpr int kPatternClassCount = 5;
const char* PatternClassName(PatternClass c);

enum class MinutiaType : uint8_t { Ending = 1, Bifurcation = 2 };

// A minutia. Its angle is the direction in which the ridge flow runs into it:
// for a ridge ending, from the ridge towards its free end; for a bifurcation,
// from the fork along the single stem (so the two branches lie behind it).
// This is the same rule for both kinds under the ridge/valley duality.
struct Minutia {
    float x = 0;
    float y = 0;
    float angle = 0;  // degrees in [0, 360)
    MinutiaType type = MinutiaType::Ending;
    uint16_t id = 0;  // index of the master minutia it stems from
};

struct SingularPoint {
    float x = 0;
    float y = 0;
    bool core = true;  // core or delta
};

struct MasterPrint {
    uint32_t fingerId = 0;
    PatternClass patternClass = PatternClass::Arch;
    int width = 0;  // canvas size in pixels
    int height = 0;
    float centreX = 0;  // finger centre on the canvas
    float centreY = 0;
    float halfWidth = 0;     // finger outline: half the width,
    float topHeight = 0;     // extent above the centre,
    float bottomHeight = 0;  // extent below the centre
    float meanPeriod = 0;    // mean ridge period of the frequency map (pixels)
    // Smooth ridge field: positive on ridges, about +-100 at ridge centres and
    // valley middles, zero on ridge borders.
    std::vector<int8_t> ridge;
    // Finger outline: 255 inside, 0 outside, a ramp a few pixels wide between.
    std::vector<uint8_t> mask;
    // Ridge orientation in radians, screen counter-clockwise, in [0, pi).
    std::vector<float> orientation;
    // Ridge period in pixels.
    std::vector<float> period;
    std::vector<SingularPoint> singularities;
    std::vector<Minutia> minutiae;  // canvas coordinates, ids 0..n-1

    size_t Index(int x, int y) const { return static_cast<size_t>(y) * width + x; }
    bool Inside(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
    // Bytes held (for the cache's bookkeeping).
    size_t MemoryUse() const;
};

using MasterPtr = std::shared_ptr<const MasterPrint>;

}  // namespace kvt::sim
