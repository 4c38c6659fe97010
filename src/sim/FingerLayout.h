#pragma once

#include <cstdint>
#include <vector>

#include "sim/MasterPrint.h"
#include "sim/ValueNoise.h"

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
    // Per singular point, how the flow turns around it departs from an even
    // turn (after Vizcaya and Gerhardt): coefficients of sin a, cos a,
    // sin 2a, cos 2a added to the angle a round the point. Narrow, wide,
    // slanted and lopsided loops come from these.
    struct Shape {
        double s1, c1, s2, c2;
    };
    std::vector<Shape> singularShapes;
    // Orientation model.
    double thetaInf = 0;       // far-field orientation (radians)
    double archAmplitude = 0;  // arch bump height (pixels), arch class only
    double archWidth = 1;      // arch bump half-width (pixels)
    double tipCurvature = 0;   // bending of the ridges towards the finger tip
    struct Wave {
        double kx, ky, phase, amplitude;
    };
    std::vector<Wave> orientationWaves;  // smooth random orientation perturbation
    // Local bends of the flow and local changes of the ridge spacing, a few
    // ridges across: ridges must end or fork there, so the minutiae of a
    // finger lie all over it rather than only where its flow converges.
    ValueNoise orientationNoise;
    double orientationNoiseAmplitude = 0;  // radians
    ValueNoise periodNoise;
    double periodNoiseAmplitude = 0;  // pixels
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
