// Contextual enhancement: smoothing along the ridges, then a one-dimensional
// Gabor band-pass across them tuned to the local ridge period.
#include <algorithm>
#include <cmath>

#include "Internal.h"

namespace fp::detail {
namespace {

constexpr int kAngleBins = 32;
constexpr float kMinPeriod = 3.f, kMaxPeriod = 20.f, kPeriodStep = 0.5f;
constexpr int kPeriodBins = static_cast<int>((kMaxPeriod - kMinPeriod) / kPeriodStep) + 1;
constexpr int kPad = 24;  // no filter reaches further; lets the loops skip bounds checks

struct Taps {
    std::vector<std::ptrdiff_t> offsets;  // in a padded image
    std::vector<float> weights;
};

// Nearest-pixel taps along the unit vector (ux, uy).
Taps LineTaps(float ux, float uy, const std::vector<float>& weights, int stride) {
    const int radius = static_cast<int>(weights.size() / 2);
    Taps taps;
    for (int k = -radius; k <= radius; ++k) {
        const long dx = std::lround(k * ux), dy = std::lround(k * uy);
        taps.offsets.push_back(static_cast<std::ptrdiff_t>(dy) * stride + dx);
        taps.weights.push_back(weights[k + radius]);
    }
    return taps;
}

// Filters n consecutive pixels of a row that share their taps, into out. The
// loop over the pixels is the inner one, so each tap reads consecutive memory;
// every pixel still sums its taps in order, as one at a time would.
// With SSE2, four pixels at a time: the same products and sums in the same
// order, so both paths give the same bits.
void ApplyRun(const float* first, const Taps& t, int n, float* out) {
    std::fill(out, out + n, 0.f);
    for (std::size_t k = 0; k < t.offsets.size(); ++k) {
        const float weight = t.weights[k];
        const float* src = first + t.offsets[k];
        int i = 0;
#ifdef FP_EXTRACTOR_SSE2
        const __m128 w4 = _mm_set1_ps(weight);
        for (; i + 4 <= n; i += 4)
            _mm_storeu_ps(out + i,
                          _mm_add_ps(_mm_loadu_ps(out + i), _mm_mul_ps(w4, _mm_loadu_ps(src + i))));
#endif
        for (; i < n; ++i) out[i] += weight * src[i];
    }
}

// Block values interpolated bilinearly at every pixel (block values belong to
// block centres), one row at a time with the column weights computed once.
class PixelInterpolator {
public:
    PixelInterpolator(const BlockField& f, int w) : f_(f), c0_(w), c1_(w), ax_(w) {
        for (int x = 0; x < w; ++x) {
            const float fc =
                std::clamp((x + 0.5f) / kBlock - 0.5f, 0.f, static_cast<float>(f.columns - 1));
            c0_[x] = static_cast<int>(fc);
            c1_[x] = std::min(c0_[x] + 1, f.columns - 1);
            ax_[x] = fc - c0_[x];
        }
    }
    // Values of `v` along row y into out[0..w).
    void Row(const std::vector<float>& v, int y, float* out) const {
        const float fr =
            std::clamp((y + 0.5f) / kBlock - 0.5f, 0.f, static_cast<float>(f_.rows - 1));
        const int r0 = static_cast<int>(fr), r1 = std::min(r0 + 1, f_.rows - 1);
        const float ay = fr - r0;
        const float* top = &v[f_.index(0, r0)];
        const float* bottom = &v[f_.index(0, r1)];
        for (std::size_t x = 0; x < c0_.size(); ++x) {
            const float ax = ax_[x];
            out[x] = (1 - ay) * ((1 - ax) * top[c0_[x]] + ax * top[c1_[x]]) +
                     ay * ((1 - ax) * bottom[c0_[x]] + ax * bottom[c1_[x]]);
        }
    }

private:
    const BlockField& f_;
    std::vector<int> c0_, c1_;
    std::vector<float> ax_;
};

// atan2 to about 1e-5 radians, several times cheaper than the library's; only
// used to pick one of the filter orientations.
float FastAtan2(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    const float hi = std::max(ax, ay), lo = std::min(ax, ay);
    if (hi == 0) return 0;
    const float t = lo / hi, t2 = t * t;
    float a =
        t *
        (0.99997726f +
         t2 * (-0.33262347f +
               t2 * (0.19354346f + t2 * (-0.11643287f + t2 * (0.05265332f + t2 * -0.01172120f)))));
    if (ay > ax) a = kPi / 2 - a;
    if (x < 0) a = kPi - a;
    return y < 0 ? -a : a;
}

// Blocks of the mask grown by `grow` blocks.
std::vector<std::uint8_t> Grow(const BlockField& f, int grow) {
    std::vector<std::uint8_t> out(f.mask.size(), 0);
    for (int r = 0; r < f.rows; ++r)
        for (int c = 0; c < f.columns; ++c) {
            bool any = false;
            for (int dr = -grow; dr <= grow && !any; ++dr)
                for (int dc = -grow; dc <= grow && !any; ++dc) any = f.inMask(c + dc, r + dr);
            out[f.index(c, r)] = any;
        }
    return out;
}

// Removes 4-connected components of `value` smaller than minSize pixels inside
// the mask. Only ridges lie inside it; a valley that reaches the background
// belongs to the background and is never small, so the search stops there.
void DropSmall(ByteImage& img, const BlockField& f, std::uint8_t value, int minSize) {
    const int w = img.width, h = img.height;
    auto inside = [&](int x, int y) { return f.mask[f.index(x / kBlock, y / kBlock)] != 0; };
    std::vector<std::uint8_t> seen(img.v.size(), 0);
    std::vector<int> component, stack;
    for (int sy = 0; sy < h; ++sy)
        for (int sx = 0; sx < w; ++sx) {
            const int start = sy * w + sx;
            if (seen[start] || img.v[start] != value || !inside(sx, sy)) continue;
            component.clear();
            bool open = false;
            stack.push_back(start);
            seen[start] = 1;
            while (!stack.empty()) {
                const int i = stack.back();
                stack.pop_back();
                component.push_back(i);
                const int x = i % w, y = i / w;
                const int nx[4] = {x + 1, x - 1, x, x}, ny[4] = {y, y, y + 1, y - 1};
                for (int k = 0; k < 4; ++k) {
                    if (nx[k] < 0 || ny[k] < 0 || nx[k] >= w || ny[k] >= h) continue;
                    const int j = ny[k] * w + nx[k];
                    if (seen[j] || img.v[j] != value) continue;
                    if (!inside(nx[k], ny[k])) {
                        open = true;
                        continue;
                    }
                    seen[j] = 1;
                    stack.push_back(j);
                }
            }
            if (!open && static_cast<int>(component.size()) < minSize)
                for (int i : component) img.v[i] = value ? 0 : 1;
        }
}

}  // namespace

ByteImage Binarise(const FloatImage& img, const BlockField& f, const Enhancement* enhance) {
    const int w = img.width, h = img.height;
    const PixelInterpolator lerp(f, w);
    std::vector<float> rowA(w), rowB(w);
    FloatImage norm(w, h);
    for (int y = 0; y < h; ++y) {
        lerp.Row(f.mean, y, rowA.data());
        lerp.Row(f.deviation, y, rowB.data());
        for (int x = 0; x < w; ++x)
            norm.at(x, y) =
                std::clamp((img.at(x, y) - rowA[x]) / std::max(rowB[x], 4.f), -3.f, 3.f);
    }

    ByteImage ridges(w, h, 0);
    auto blockOf = [&](int x, int y) { return f.index(x / kBlock, y / kBlock); };
    if (!enhance) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (!f.mask[blockOf(x, y)]) continue;
                float s = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        s += norm.at(std::clamp(x + dx, 0, w - 1), std::clamp(y + dy, 0, h - 1));
                ridges.at(x, y) = s < 0;
            }
    } else {
        const int stride = w + 2 * kPad;
        auto padded = [&](int x, int y) {
            return static_cast<std::size_t>(y + kPad) * stride + static_cast<std::size_t>(x + kPad);
        };
        std::vector<float> source(static_cast<std::size_t>(stride) * (h + 2 * kPad), 0.f);
        std::vector<float> smooth(source.size(), 0.f);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) source[padded(x, y)] = norm.at(x, y);

        const float alongSigma = enhance->alongSigma;
        const int alongRadius = static_cast<int>(std::ceil(2 * alongSigma));
        std::vector<float> along(2 * alongRadius + 1);
        for (int k = -alongRadius; k <= alongRadius; ++k)
            along[k + alongRadius] = std::exp(-k * k / (2 * alongSigma * alongSigma));
        std::vector<Taps> alongTaps(kAngleBins);
        std::vector<Taps> acrossTaps(static_cast<std::size_t>(kAngleBins) * kPeriodBins);
        for (int p = 0; p < kPeriodBins; ++p) {
            const float period = kMinPeriod + p * kPeriodStep,
                        sigma = enhance->acrossSigma * period;
            const int radius = std::min(static_cast<int>(std::ceil(3 * sigma)), kPad);
            std::vector<float> envelope(2 * radius + 1), kernel(2 * radius + 1);
            float se = 0, sc = 0;
            for (int k = -radius; k <= radius; ++k) {
                envelope[k + radius] = std::exp(-k * k / (2 * sigma * sigma));
                kernel[k + radius] = envelope[k + radius] * std::cos(2 * kPi * k / period);
                se += envelope[k + radius];
                sc += kernel[k + radius];
            }
            for (int k = 0; k < 2 * radius + 1; ++k) kernel[k] -= sc / se * envelope[k];
            for (int a = 0; a < kAngleBins; ++a) {
                const float theta = a * kPi / kAngleBins;
                acrossTaps[static_cast<std::size_t>(a) * kPeriodBins + p] =
                    LineTaps(-std::sin(theta), std::cos(theta), kernel, stride);
            }
        }
        for (int a = 0; a < kAngleBins; ++a) {
            const float theta = a * kPi / kAngleBins;
            alongTaps[a] = LineTaps(std::cos(theta), std::sin(theta), along, stride);
        }

        // The smoothing pass also covers a margin around the mask so that the
        // band-pass near the edge has data.
        const std::vector<std::uint8_t> margin = Grow(f, 2);
        // Filter choice per pixel (-1 outside the area filtered), then runs of
        // equal choices filtered together.
        std::vector<int> choice(w);
        std::vector<float> response(w);
        auto filterRuns = [&](const float* in, const std::vector<Taps>& bank, float* out) {
            for (int x = 0; x < w;) {
                const int c = choice[x];
                int end = x + 1;
                while (end < w && choice[end] == c) ++end;
                if (c >= 0) ApplyRun(in + x, bank[c], end - x, out + x);
                x = end;
            }
        };
        std::vector<std::uint8_t> angleBin(static_cast<std::size_t>(w) * h, 0);
        for (int y = 0; y < h; ++y) {
            lerp.Row(f.cos2, y, rowA.data());
            lerp.Row(f.sin2, y, rowB.data());
            for (int x = 0; x < w; ++x) {
                choice[x] = -1;
                if (!margin[blockOf(x, y)]) continue;
                // Bins of the doubled angle are bins of the angle.
                const float doubled = FastAtan2(rowB[x], rowA[x]);
                choice[x] =
                    static_cast<int>(doubled * (kAngleBins / (2 * kPi)) + kAngleBins + 0.5f) %
                    kAngleBins;
                angleBin[static_cast<std::size_t>(y) * w + x] =
                    static_cast<std::uint8_t>(choice[x]);
            }
            filterRuns(&source[padded(0, y)], alongTaps, &smooth[padded(0, y)]);
        }
        for (int y = 0; y < h; ++y) {
            lerp.Row(f.period, y, rowA.data());
            for (int x = 0; x < w; ++x) {
                choice[x] = -1;
                if (!f.mask[blockOf(x, y)]) continue;
                const float period = std::clamp(rowA[x], kMinPeriod, kMaxPeriod);
                const int p = static_cast<int>((period - kMinPeriod) / kPeriodStep + 0.5f);
                choice[x] = angleBin[static_cast<std::size_t>(y) * w + x] * kPeriodBins + p;
            }
            filterRuns(&smooth[padded(0, y)], acrossTaps, response.data());
            for (int x = 0; x < w; ++x)
                if (choice[x] >= 0) ridges.at(x, y) = response[x] < 0;  // ridges are dark
        }
    }
    // Specks of ridge and pores in ridges would become false minutiae.
    DropSmall(ridges, f, 1, 24);
    DropSmall(ridges, f, 0, 24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (!f.mask[blockOf(x, y)]) ridges.at(x, y) = 0;
    return ridges;
}

}  // namespace fp::detail
