#include "SyntheticPrint.h"

#include <cmath>
#include <random>

namespace fptest {

Image Render(const Pattern& pattern, int width, int height, const Placement& placement,
             int margin) {
    Image img{width, height,
              std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, 230)};
    const float cx = width / 2.f, cy = height / 2.f;
    const float c = std::cos(placement.rotation), s = std::sin(placement.rotation);
    const float k = 2 * 3.14159265f / pattern.period;
    const float nx = -std::sin(pattern.angle), ny = std::cos(pattern.angle);
    for (int y = margin; y < height - margin; ++y)
        for (int x = margin; x < width - margin; ++x) {
            // Back to pattern coordinates: undo the shift, then the rotation.
            const float ux = x - placement.dx - cx, uy = y - placement.dy - cy;
            const float px = c * ux + s * uy + cx, py = -s * ux + c * uy + cy;
            float phase = k * (px * nx + py * ny) + pattern.bend * (px - cx) * (px - cx) / 1000.f;
            // The sum of the singularities' angles is the argument of the
            // product of their offsets (conjugated for sign -1): one atan2
            // per pixel instead of one per singularity.
            double re = 1, im = 0;
            for (const Singularity& sg : pattern.singularities) {
                const double zx = px - sg.x, zy = sg.sign * (py - sg.y);
                const double r = re * zx - im * zy;
                im = re * zy + im * zx;
                re = r;
                // Scaled down now and then: hundreds of factors would overflow.
                if (std::fabs(re) + std::fabs(im) > 1e150) re *= 1e-150, im *= 1e-150;
            }
            phase += static_cast<float>(std::atan2(im, re));
            const float value = 130.f + 95.f * std::cos(phase);
            img.pixels[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint8_t>(std::lround(std::fmin(255.f, std::fmax(0.f, value))));
        }
    return img;
}

Pattern RandomPattern(unsigned seed, int width, int height, int count, float spacing) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> ux(40.f, width - 40.f), uy(40.f, height - 40.f);
    std::uniform_real_distribution<float> angle(0.f, 3.14159265f), bend(-0.4f, 0.4f);
    Pattern p;
    p.angle = angle(rng);
    p.bend = bend(rng);
    p.period = 8.f + static_cast<float>(seed % 3);
    for (int tries = 0; tries < 2000 && static_cast<int>(p.singularities.size()) < count; ++tries) {
        const Singularity candidate{ux(rng), uy(rng), (rng() & 1) ? 1 : -1};
        bool free = true;
        for (const Singularity& other : p.singularities)
            free &= std::hypot(other.x - candidate.x, other.y - candidate.y) >= spacing;
        if (free) p.singularities.push_back(candidate);
    }
    return p;
}

}  // namespace fptest
