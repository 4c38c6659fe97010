#pragma once

// Made-up features for the tests of the template formats and the matcher, and
// new impressions of them.
#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "fp/Features.h"

namespace fptest {

inline constexpr float kPi = 3.14159265f;

// How far apart two directions are, in steps of pi/128 (0..128).
inline int AngleDistance(int a, int b) {
    const int d = (a - b) & 0xFF;
    return std::min(d, 256 - d);
}

// `count` minutiae at random in a `width` x `height` print, of every type and
// of quality within [low, high].
inline fp::Features RandomFeatures(unsigned seed, int count, int width, int height, int low = 0,
                                   int high = 100) {
    std::mt19937 rng(seed);
    fp::Features f;
    f.width = static_cast<std::uint16_t>(width);
    f.height = static_cast<std::uint16_t>(height);
    const auto byte = [&rng] { return static_cast<std::uint8_t>(rng()); };
    // Braces evaluate in order, so the fields take the draws one after another.
    for (int i = 0; i < count; ++i)
        f.minutiae.push_back(
            {static_cast<std::uint16_t>(rng() % f.width),
             static_cast<std::uint16_t>(rng() % f.height), byte(),
             static_cast<fp::MinutiaType>(rng() % 3),
             static_cast<std::uint8_t>(low + static_cast<int>(rng() % (high - low + 1))), byte(),
             byte()});
    return f;
}

// Adds `count` minutiae at least `spacing` pixels apart and `margin` pixels
// inside the print, of both types and of quality within [low, high].
inline void Scatter(fp::Features& f, std::mt19937& rng, int count, int low = 60, int high = 100,
                    float spacing = 14.f, float margin = 20.f) {
    std::uniform_real_distribution<float> px(margin, f.width - margin),
        py(margin, f.height - margin);
    for (int added = 0; added < count;) {
        const float x = px(rng), y = py(rng);
        bool free = true;
        for (const fp::Minutia& m : f.minutiae) free &= std::hypot(m.x - x, m.y - y) > spacing;
        if (!free) continue;
        f.minutiae.push_back(
            {static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
             static_cast<std::uint8_t>(rng()),
             (rng() & 1) ? fp::MinutiaType::Ending : fp::MinutiaType::Bifurcation,
             static_cast<std::uint8_t>(low + static_cast<int>(rng() % (high - low + 1)))});
        ++added;
    }
}

// A square print, all of it foreground.
inline fp::Features Blank(int side = 400) {
    fp::Features f;
    f.width = f.height = static_cast<std::uint16_t>(side);
    const auto cells = static_cast<std::uint16_t>(side / 16);
    f.mask = {16, cells, cells, std::vector<std::uint8_t>(std::size_t{cells} * cells, 1)};
    return f;
}

// `count` minutiae scattered over a blank square print.
inline fp::Features RandomPrint(unsigned seed, int count = 40, int side = 400, int low = 60,
                                int high = 100, float spacing = 14.f, float margin = 20.f) {
    std::mt19937 rng(seed);
    fp::Features f = Blank(side);
    Scatter(f, rng, count, low, high, spacing, margin);
    return f;
}

struct Change {
    float rotation = 0, dx = 0, dy = 0;
    float jitter = 0;                                // pixels of position noise
    float drop = 0;                                  // share of minutiae lost
    int spurious = 0;                                // minutiae added
    std::function<float(float&, float&)> warp = {};  // non-rigid displacement, giving the turn
    std::function<bool(float, float)> keep = {};     // region still in contact
    float scale = 1;                                 // about the centre
};

// The same finger seen again: moved about the centre, with the noise of a new impression.
inline fp::Features Impression(const fp::Features& f, const Change& c, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.f, 1.f);
    std::uniform_real_distribution<float> unit(0.f, 1.f);
    const int side = f.width;
    const float cs = std::cos(c.rotation), sn = std::sin(c.rotation), centre = side / 2.f;
    fp::Features out = Blank(side);
    for (const fp::Minutia& m : f.minutiae) {
        if (unit(rng) < c.drop || (c.keep && !c.keep(m.x, m.y))) continue;
        float x = m.x, y = m.y;
        const float bent = c.warp ? c.warp(x, y) : 0.f;
        const float px = x - centre, py = y - centre;
        x = c.scale * (cs * px - sn * py) + centre + c.dx + c.jitter * noise(rng);
        y = c.scale * (sn * px + cs * py) + centre + c.dy + c.jitter * noise(rng);
        if (x < 0 || y < 0 || x >= side || y >= side) continue;
        const float turn = c.rotation + bent + 0.08f * noise(rng);
        const auto direction = std::lround(m.direction + turn * 128 / kPi) & 255;
        out.minutiae.push_back({static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                                static_cast<std::uint8_t>(direction), m.type, m.quality,
                                m.curvature, m.period});
    }
    Scatter(out, rng, c.spurious, 50, 50, 0.f);
    // Foreground: the cells whose centre came from the original's contact region.
    for (int r = 0; r < out.mask.rows; ++r)
        for (int col = 0; col < out.mask.columns; ++col) {
            const float x = col * 16 + 8.f - centre - c.dx, y = r * 16 + 8.f - centre - c.dy;
            const float ox = cs * x + sn * y + centre, oy = -sn * x + cs * y + centre;
            const bool inside =
                ox >= 0 && oy >= 0 && ox < side && oy < side && (!c.keep || c.keep(ox, oy));
            out.mask.bits[static_cast<std::size_t>(r) * out.mask.columns + col] = inside;
        }
    return out;
}

}  // namespace fptest
