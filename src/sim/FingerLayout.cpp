#include "sim/FingerLayout.h"

#include <cmath>

#include "sim/DetMath.h"
#include "sim/Random.h"

namespace kvt::sim {

namespace {

constexpr uint64_t kLayoutTag = 0x4C41594F5554ull;  // "LAYOUT"
constexpr uint64_t kClassTag = 0x434C415353ull;     // "CLASS"
constexpr int kCanvasMargin = 14;

}  // namespace

const char* PatternClassName(PatternClass c) {
    switch (c) {
        case PatternClass::Arch:
            return "arch";
        case PatternClass::TentedArch:
            return "tented arch";
        case PatternClass::LeftLoop:
            return "left loop";
        case PatternClass::RightLoop:
            return "right loop";
        case PatternClass::Whorl:
            return "whorl";
    }
    return "?";
}

PatternClass PatternClassOf(uint64_t populationSeed, uint32_t fingerId) {
    Rng rng(MixKey(populationSeed, fingerId, kClassTag));
    const double u = rng.Uniform() * 1000.0;
    if (u < 37.0) return PatternClass::Arch;
    if (u < 66.0) return PatternClass::TentedArch;
    if (u < 404.0) return PatternClass::LeftLoop;
    if (u < 721.0) return PatternClass::RightLoop;
    return PatternClass::Whorl;
}

FingerLayout MakeFingerLayout(uint64_t populationSeed, uint32_t fingerId) {
    FingerLayout L;
    L.patternClass = PatternClassOf(populationSeed, fingerId);
    Rng rng(MixKey(populationSeed, fingerId, kLayoutTag));

    // Outline of the finger tip's contact: 14-17 mm wide, 19-24 mm long.
    L.halfWidth = static_cast<float>(det::Clamp(rng.Normal(158, 9), 140, 172));
    L.topHeight = static_cast<float>(det::Clamp(rng.Normal(210, 12), 185, 235));
    L.bottomHeight = static_cast<float>(det::Clamp(rng.Normal(225, 12), 195, 250));
    L.width = static_cast<int>(2 * L.halfWidth) + 2 * kCanvasMargin;
    L.height = static_cast<int>(L.topHeight + L.bottomHeight) + 2 * kCanvasMargin;
    L.centreX = static_cast<float>(L.width) * 0.5f;
    L.centreY = static_cast<float>(kCanvasMargin) + L.topHeight;

    // Singular points, relative to the finger centre (y downwards).
    const double cx = L.centreX, cy = L.centreY;
    // Every random draw is a statement of its own: the order in which a
    // compiler evaluates function arguments is unspecified, and with two
    // draws in one call gcc and clang would make different fingers.
    auto add = [&](double x, double y, bool core) {
        L.singularities.push_back({static_cast<float>(cx + x), static_cast<float>(cy + y), core});
    };
    switch (L.patternClass) {
        case PatternClass::Arch: {
            L.archAmplitude = rng.Uniform(22, 70);
            L.archWidth = rng.Uniform(65, 125);
            break;
        }
        case PatternClass::TentedArch: {
            const double x = rng.Normal(0, 20), y = rng.Normal(-25, 25);
            add(x, y, true);
            const double dx = rng.Normal(0, 12);
            const double dy = rng.Uniform(50, 110);
            add(x + dx, y + dy, false);
            break;
        }
        case PatternClass::LeftLoop:
        case PatternClass::RightLoop: {
            const double side = L.patternClass == PatternClass::LeftLoop ? 1.0 : -1.0;
            const double x = rng.Normal(0, 24), y = rng.Normal(-20, 28);
            add(x, y, true);
            const double dx = rng.Uniform(45, 140);
            const double dy = rng.Uniform(70, 170);
            add(x + side * dx, y + dy, false);
            break;
        }
        case PatternClass::Whorl: {
            const double x = rng.Normal(0, 22), y = rng.Normal(-15, 25);
            const double d = rng.Uniform(12, 55);
            const double tilt = rng.Normal(0, 0.7);
            add(x - 0.5 * d * det::Sin(tilt), y - 0.5 * d * det::Cos(tilt), true);
            add(x + 0.5 * d * det::Sin(tilt), y + 0.5 * d * det::Cos(tilt), true);
            for (const double side : {-1.0, 1.0}) {
                const double dx = rng.Uniform(60, 135);
                const double dy = rng.Uniform(70, 160);
                add(x + side * dx, y + dy, false);
            }
            break;
        }
    }
    // Keep every singular point well inside the outline (a delta beyond the
    // contact area would leave its ridges unexplained at the border).
    for (auto& sp : L.singularities) {
        for (int i = 0; i < 40 && OutlineRadius(L, sp.x, sp.y) > 0.82; ++i) {
            sp.x = static_cast<float>(cx + (sp.x - cx) * 0.97);
            sp.y = static_cast<float>(cy + (sp.y - cy) * 0.97);
        }
    }
    for (size_t i = 0; i < L.singularities.size(); ++i) {
        FingerLayout::Shape shape{};
        shape.s1 = rng.Normal(0, 0.35);
        shape.c1 = rng.Normal(0, 0.35);
        shape.s2 = rng.Normal(0, 0.15);
        shape.c2 = rng.Normal(0, 0.15);
        L.singularShapes.push_back(shape);
    }
    L.thetaInf = rng.Normal(0, 0.12);
    L.tipCurvature = rng.Uniform(0.25, 0.7);
    for (int i = 0; i < 5; ++i) {
        // Three broad waves and two shorter ones.
        const double wl = i < 3 ? rng.Uniform(180, 420) : rng.Uniform(90, 180);
        const double dir = rng.Uniform(0, det::kPi);
        const double amplitude = i < 3 ? rng.Uniform(0.06, 0.2) : rng.Uniform(0.04, 0.12);
        L.orientationWaves.push_back({det::kTwoPi / wl * det::Cos(dir),
                                      det::kTwoPi / wl * det::Sin(dir), rng.Uniform(0, det::kTwoPi),
                                      amplitude});
    }
    // Ridge period: about 9 pixels at 500 dpi (inter-ridge distance 0.46 mm).
    L.basePeriod = det::Clamp(rng.Normal(8.7, 0.55), 7.7, 10.0);
    for (int i = 0; i < 3; ++i) {
        const double wl = rng.Uniform(160, 400);
        const double dir = rng.Uniform(0, det::kPi);
        L.periodWaves.push_back({det::kTwoPi / wl * det::Cos(dir), det::kTwoPi / wl * det::Sin(dir),
                                 rng.Uniform(0, det::kTwoPi), rng.Uniform(0.15, 0.4)});
    }
    // Local texture: how much of it sets the finger's minutia density.
    L.orientationNoiseAmplitude = rng.Uniform(0.14, 0.3);
    const double orientationCell = rng.Uniform(35, 60);
    L.orientationNoise = ValueNoise(rng, L.width, L.height, orientationCell);
    L.periodNoiseAmplitude = rng.Uniform(0.8, 1.6);
    const double periodCell = rng.Uniform(22, 40);
    L.periodNoise = ValueNoise(rng, L.width, L.height, periodCell);
    return L;
}

double OrientationAt(const FingerLayout& L, double x, double y) {
    double theta = L.thetaInf;
    // Mathematical coordinates (y upwards) relative to the finger centre.
    const double X = x - L.centreX, Y = L.centreY - y;
    if (L.patternClass == PatternClass::Arch) {
        // Ridges follow y = A g(x) w(y): flat at the bottom, arched above.
        const double s = L.archWidth;
        const double g = det::Exp(-X * X / (2 * s * s));
        const double w = 1.0 / (1.0 + det::Exp(-(Y + 60.0) / 45.0));
        const double dw = w * (1 - w) / 45.0;
        const double phiX = L.archAmplitude * w * g * (-X / (s * s));  // d/dX of A g w
        const double phiY = L.archAmplitude * g * dw;
        // Level sets of Y - A g w: direction (1 - phiY, phiX) hmm: tangent of
        // F = Y - A g w is (F_Y, -F_X) = (1 - phiY, phiX).
        theta += det::Atan2(phiX, 1.0 - phiY);
    } else {
        // Sherlock-Monro zero-pole model.
        double sum = 0;
        for (size_t i = 0; i < L.singularities.size(); ++i) {
            const SingularPoint& sp = L.singularities[i];
            double a = det::Atan2(Y - (L.centreY - sp.y), X - (sp.x - L.centreX));
            if (i < L.singularShapes.size()) {
                const FingerLayout::Shape& k = L.singularShapes[i];
                double s1, c1;
                det::SinCos(a, &s1, &c1);
                const double s2 = 2 * s1 * c1, c2 = c1 * c1 - s1 * s1;
                a += k.s1 * s1 + k.c1 * c1 + k.s2 * s2 + k.c2 * c2;
            }
            sum += sp.core ? a : -a;
        }
        theta += 0.5 * sum;
    }
    // Towards the finger tip the ridges bend down at the sides, following the
    // outline: above the upper singular points add a tilt growing with height.
    double topY = 0;  // height above which the tip bending starts (math coords)
    for (const auto& sp : L.singularities) topY = std::fmax(topY, L.centreY - sp.y);
    const double above = Y - topY - 20.0;
    if (above > 0) {
        const double f = det::Smoothstep(0, 120, above) * L.tipCurvature;
        theta += f * det::Atan2(-X, L.halfWidth * 1.2);
    }
    for (const auto& w : L.orientationWaves)
        theta += w.amplitude * det::Cos(w.kx * X + w.ky * Y + w.phase);
    theta += 2.0 * L.orientationNoiseAmplitude * (L.orientationNoise.At(x, y) - 0.5);
    theta = theta - det::kPi * std::floor(theta / det::kPi);
    return theta >= det::kPi ? 0.0 : theta;
}

double PeriodAt(const FingerLayout& L, double x, double y) {
    const double X = x - L.centreX, Y = L.centreY - y;
    double t = L.basePeriod;
    for (const auto& w : L.periodWaves) t += w.amplitude * det::Cos(w.kx * X + w.ky * Y + w.phase);
    t += 2.0 * L.periodNoiseAmplitude * (L.periodNoise.At(x, y) - 0.5);
    // Ridges are wider apart above the upper core and below the lower delta.
    double topY = -1e9, bottomY = 1e9;
    for (const auto& sp : L.singularities) {
        const double sy = L.centreY - sp.y;
        if (sp.core)
            topY = std::fmax(topY, sy);
        else
            bottomY = std::fmin(bottomY, sy);
    }
    if (topY > -1e8)
        t += 0.7 * det::Smoothstep(20, 140, Y - topY);
    else
        t += 0.5 * det::Smoothstep(0, 160, Y);
    if (bottomY < 1e8)
        t += 0.5 * det::Smoothstep(10, 120, bottomY - Y);
    else
        t += 0.4 * det::Smoothstep(60, 200, -Y);
    return det::Clamp(t, 7.6, 11.5);
}

double OutlineRadius(const FingerLayout& L, double x, double y) {
    const double u = (x - L.centreX) / L.halfWidth;
    const double dy = y - L.centreY;
    if (dy <= 0) {
        const double v = dy / L.topHeight;
        return std::sqrt(u * u + v * v);
    }
    // Below the centre the outline is squarer (a superellipse of power 3).
    const double v = dy / L.bottomHeight;
    const double au = std::fabs(u), av = std::fabs(v);
    const double s = au * au * au + av * av * av;
    return det::Cbrt(s);
}

}  // namespace kvt::sim
