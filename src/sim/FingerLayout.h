#pragma once

#include <cstdint>
#include <vector>

#include "sim/MasterPrint.h"

// The global design of a finger, drawn from its id: pattern class, outline,
// singular points, and the orientation and ridge-period models built on them.
namespace kvt::sim {

// Pattern class of a finger id in the natural proportions (arch 3.7 %, tented
// arch 2.9 %, left loop 33.8 %, right loop 31.7 %, whorl 27.9 %). Cheap: does
// not build the print.
PatternClass PatternClassOf(uint64_t populationSeed, uint32_t fingerId);

struct FingerLayout {
    PatternClass patternClass = PatternClass::Arch;
    float halfWidth = 0, topHeight = 0, bottomHeight = 0;  // outline (pixels)
    int width = 0, height = 0;                             // canvas
    float centreX = 0, centreY = 0;
    std::vector<SingularPoint> singularities;  // canvas coordinates
    // Orientation model.
    double thetaInf = 0;       // far-field orientation (radians)
    double archAmplitude = 0;  // arch bump height (pixels), arch class only
    double archWidth = 1;      // arch bump half-width (pixels)
    double tipCurvature = 0;   // bending of the ridges towards the finger tip
    struct Wave {
        double kx, ky, phase, amplitude;
    };
    std::vector<Wave> orientationWaves;  // smooth random orientation perturbation
    // Ridge-period model.
    double basePeriod = 9;
    std::vector<Wave> periodWaves;
};

FingerLayout MakeFingerLayout(uint64_t populationSeed, uint32_t fingerId);

// Ridge orientation (radians, screen counter-clockwise, in [0, pi)) at a canvas point.
double OrientationAt(const FingerLayout& layout, double x, double y);
// Ridge period (pixels) at a canvas point.
double PeriodAt(const FingerLayout& layout, double x, double y);
// Signed distance-like value of the outline: < 1 inside, 1 on the outline.
double OutlineRadius(const FingerLayout& layout, double x, double y);

}  // namespace kvt::sim
