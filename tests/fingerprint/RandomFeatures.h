#pragma once

// Made-up features for the tests of the template formats and the matcher.
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

}  // namespace fptest
