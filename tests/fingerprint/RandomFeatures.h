#pragma once

// Made-up features for the tests of the template formats and the matcher.
#include <cmath>
#include <random>

#include "fp/Features.h"

namespace fptest {

// `count` minutiae at random in a `width` x `height` print, of every type and
// of quality within [low, high].
inline fp::Features RandomFeatures(unsigned seed, int count, int width, int height, int low = 0,
                                   int high = 100) {
    std::mt19937 rng(seed);
    fp::Features f;
    f.width = static_cast<std::uint16_t>(width);
    f.height = static_cast<std::uint16_t>(height);
    for (int i = 0; i < count; ++i) {
        fp::Minutia m;
        m.x = static_cast<std::uint16_t>(rng() % f.width);
        m.y = static_cast<std::uint16_t>(rng() % f.height);
        m.direction = static_cast<std::uint8_t>(rng());
        m.type = static_cast<fp::MinutiaType>(rng() % 3);
        m.quality = static_cast<std::uint8_t>(low + static_cast<int>(rng() % (high - low + 1)));
        m.curvature = static_cast<std::uint8_t>(rng());
        m.period = static_cast<std::uint8_t>(rng());
        f.minutiae.push_back(m);
    }
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
        fp::Minutia m;
        m.x = static_cast<std::uint16_t>(x);
        m.y = static_cast<std::uint16_t>(y);
        m.direction = static_cast<std::uint8_t>(rng());
        m.type = (rng() & 1) ? fp::MinutiaType::Ending : fp::MinutiaType::Bifurcation;
        m.quality = static_cast<std::uint8_t>(low + static_cast<int>(rng() % (high - low + 1)));
        f.minutiae.push_back(m);
        ++added;
    }
}

}  // namespace fptest
