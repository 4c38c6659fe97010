// Ridge patterns drawn from a formula, with minutiae where we put them: each
// phase singularity of the ridge wave starts one extra ridge, which is a ridge
// ending or a bifurcation depending on the wave's phase there.
#pragma once

#include <cstdint>
#include <vector>

namespace fptest {

struct Singularity {
    float x, y;
    int sign;  // +1 or -1: which way the extra ridge opens
};

struct Pattern {
    float period = 9.f;  // pixels between ridges
    float angle = 0.f;   // ridge direction, radians
    float bend = 0.f;    // curvature of the ridges: phase term bend * x^2 / 1000
    std::vector<Singularity> singularities;
};

// Where a pattern lands in the image: rotated about the image centre, then shifted.
struct Placement {
    float rotation = 0.f, dx = 0.f, dy = 0.f;
};

struct Image {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
};

// Dark ridges on a light background, with a light border of `margin` pixels.
Image Render(const Pattern& pattern, int width, int height, const Placement& placement = {},
             int margin = 12);

// A pattern with `count` singularities at random positions at least `spacing` apart.
Pattern RandomPattern(unsigned seed, int width, int height, int count, float spacing = 40.f);

}  // namespace fptest
