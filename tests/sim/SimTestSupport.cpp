#include "SimTestSupport.h"

#include <algorithm>
#include <cmath>

namespace kvt_test {

namespace {
constexpr double kPi = 3.14159265358979323846;
}

std::shared_ptr<kvt::sim::FingerprintSynth> SharedSynth() {
    static const std::shared_ptr<kvt::sim::FingerprintSynth> synth =
        std::make_shared<kvt::sim::FingerprintSynth>(0, 128);
    return synth;
}

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

double ImageOrientation(const std::vector<uint8_t>& img, int w, int h, int x, int y, int r) {
    double gxx = 0, gyy = 0, gxy = 0;
    for (int v = std::max(1, y - r); v <= std::min(h - 2, y + r); ++v) {
        for (int u = std::max(1, x - r); u <= std::min(w - 2, x + r); ++u) {
            const double gx =
                img[static_cast<size_t>(v) * w + u + 1] - img[static_cast<size_t>(v) * w + u - 1];
            // Screen y grows downwards; mathematical gradient points up.
            const double gy =
                img[static_cast<size_t>(v - 1) * w + u] - img[static_cast<size_t>(v + 1) * w + u];
            gxx += gx * gx;
            gyy += gy * gy;
            gxy += gx * gy;
        }
    }
    // Dominant gradient direction, in [-pi/2, pi/2]; the ridge runs across it.
    return std::fmod(0.5 * std::atan2(2 * gxy, gxx - gyy) + kPi / 2, kPi);
}

double AngleGap(double a, double b, double period) {
    const double d = std::fmod(std::fabs(a - b), period);
    return std::min(d, period - d);
}

double MeasuredRidgePeriod(const std::vector<int8_t>& field, const std::vector<uint8_t>& region,
                           int w, int h) {
    std::vector<uint8_t> img(field.size());
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(128 + field[i]);
    std::vector<double> periods;
    constexpr int kHalf = 32;
    for (int y = kHalf; y + kHalf < h; y += 24) {
        for (int x = kHalf; x + kHalf < w; x += 24) {
            bool inside = true;
            for (int dy = -kHalf; dy <= kHalf && inside; dy += 4)
                for (int dx = -kHalf; dx <= kHalf && inside; dx += 4)
                    inside = region[static_cast<size_t>(y + dy) * w + x + dx] != 0;
            if (!inside) continue;
            const double theta = ImageOrientation(img, w, h, x, y, 8);
            // Across the ridges: the normal of the direction (cos, -sin).
            const double nx = -std::sin(theta), ny = -std::cos(theta);
            int changes = 0, prev = 0;
            for (int t = -kHalf; t <= kHalf; ++t) {
                const int px = static_cast<int>(std::lround(x + t * nx)),
                          py = static_cast<int>(std::lround(y + t * ny));
                const int s = field[static_cast<size_t>(py) * w + px] > 0 ? 1 : -1;
                if (prev != 0 && s != prev) ++changes;
                prev = s;
            }
            if (changes >= 2) periods.push_back(2.0 * (2 * kHalf) / changes);
        }
    }
    if (periods.empty()) return 0;
    std::sort(periods.begin(), periods.end());
    return periods[periods.size() / 2];
}

}  // namespace kvt_test
