// Orientation, segmentation and ridge period on a grid of small blocks.
#include <algorithm>
#include <cmath>
#include <deque>

#include "Internal.h"

namespace fp::detail {
namespace {

// Summed-area table of one per-pixel quantity.
class Integral {
public:
    Integral(int w, int h) : w_(w), h_(h), s_(static_cast<std::size_t>(w + 1) * (h + 1), 0.0) {}
    template <typename F>
    void build(F value) {
        for (int y = 0; y < h_; ++y) {
            double row = 0;
            for (int x = 0; x < w_; ++x) {
                row += value(x, y);
                s_[idx(x + 1, y + 1)] = s_[idx(x + 1, y)] + row;
            }
        }
    }
    // Sum over [x0, x1) x [y0, y1), clipped to the image.
    double sum(int x0, int y0, int x1, int y1) const {
        x0 = std::clamp(x0, 0, w_), x1 = std::clamp(x1, 0, w_);
        y0 = std::clamp(y0, 0, h_), y1 = std::clamp(y1, 0, h_);
        return s_[idx(x1, y1)] - s_[idx(x0, y1)] - s_[idx(x1, y0)] + s_[idx(x0, y0)];
    }

private:
    std::size_t idx(int x, int y) const { return static_cast<std::size_t>(y) * (w_ + 1) + x; }
    int w_, h_;
    std::vector<double> s_;
};

// Binomial 1 4 6 4 1 in both directions (a Gaussian of about one pixel).
FloatImage Blur(const FloatImage& img) {
    const int w = img.width, h = img.height;
    FloatImage tmp(w, h), out(w, h);
    auto clampX = [w](int x) { return std::clamp(x, 0, w - 1); };
    auto clampY = [h](int y) { return std::clamp(y, 0, h - 1); };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            tmp.at(x, y) =
                (img.at(clampX(x - 2), y) + img.at(clampX(x + 2), y) +
                 4 * (img.at(clampX(x - 1), y) + img.at(clampX(x + 1), y)) + 6 * img.at(x, y)) *
                (1.f / 16);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.at(x, y) =
                (tmp.at(x, clampY(y - 2)) + tmp.at(x, clampY(y + 2)) +
                 4 * (tmp.at(x, clampY(y - 1)) + tmp.at(x, clampY(y + 1))) + 6 * tmp.at(x, y)) *
                (1.f / 16);
    return out;
}

// Gaussian smoothing of a block grid, counting only the blocks where weight > 0.
void SmoothWeighted(std::vector<float>& values, const std::vector<float>& weight, int columns,
                    int rows, float sigma) {
    const int radius = static_cast<int>(std::ceil(2.5f * sigma));
    std::vector<float> kernel(2 * radius + 1);
    for (int k = -radius; k <= radius; ++k)
        kernel[k + radius] = std::exp(-k * k / (2 * sigma * sigma));
    std::vector<float> tmpV(values.size()), tmpW(values.size());
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            float sv = 0, sw = 0;
            for (int k = -radius; k <= radius; ++k) {
                const int cc = c + k;
                if (cc < 0 || cc >= columns) continue;
                const std::size_t i = static_cast<std::size_t>(r) * columns + cc;
                sv += kernel[k + radius] * values[i] * weight[i];
                sw += kernel[k + radius] * weight[i];
            }
            tmpV[static_cast<std::size_t>(r) * columns + c] = sv;
            tmpW[static_cast<std::size_t>(r) * columns + c] = sw;
        }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            float sv = 0, sw = 0;
            for (int k = -radius; k <= radius; ++k) {
                const int rr = r + k;
                if (rr < 0 || rr >= rows) continue;
                const std::size_t i = static_cast<std::size_t>(rr) * columns + c;
                sv += kernel[k + radius] * tmpV[i];
                sw += kernel[k + radius] * tmpW[i];
            }
            values[static_cast<std::size_t>(r) * columns + c] = sw > 1e-6f ? sv / sw : 0.f;
        }
}

// Largest 4-connected foreground component, with its holes filled.
void CleanMask(std::vector<std::uint8_t>& mask, int columns, int rows) {
    auto idx = [columns](int c, int r) { return static_cast<std::size_t>(r) * columns + c; };
    auto morph = [&](bool dilate) {
        std::vector<std::uint8_t> out(mask.size());
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; ++c) {
                bool any = false, all = true;
                for (int dr = -1; dr <= 1; ++dr)
                    for (int dc = -1; dc <= 1; ++dc) {
                        const int cc = c + dc, rr = r + dr;
                        const bool v =
                            cc >= 0 && rr >= 0 && cc < columns && rr < rows && mask[idx(cc, rr)];
                        any |= v;
                        all &= v;
                    }
                out[idx(c, r)] = dilate ? any : all;
            }
        mask.swap(out);
    };
    morph(true);  // close small gaps
    morph(false);
    morph(false);  // open: drop thin strands
    morph(true);

    std::vector<int> label(mask.size(), 0);
    int best = 0, bestSize = 0, next = 0;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            if (!mask[idx(c, r)] || label[idx(c, r)]) continue;
            ++next;
            int size = 0;
            std::deque<std::pair<int, int>> queue{{c, r}};
            label[idx(c, r)] = next;
            while (!queue.empty()) {
                auto [qc, qr] = queue.front();
                queue.pop_front();
                ++size;
                const int dc[4] = {1, -1, 0, 0}, dr[4] = {0, 0, 1, -1};
                for (int k = 0; k < 4; ++k) {
                    const int nc = qc + dc[k], nr = qr + dr[k];
                    if (nc < 0 || nr < 0 || nc >= columns || nr >= rows) continue;
                    if (!mask[idx(nc, nr)] || label[idx(nc, nr)]) continue;
                    label[idx(nc, nr)] = next;
                    queue.push_back({nc, nr});
                }
            }
            if (size > bestSize) bestSize = size, best = next;
        }
    // Holes: background not reachable from the grid border.
    std::vector<std::uint8_t> outside(mask.size(), 0);
    std::deque<std::pair<int, int>> queue;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const bool border = r == 0 || c == 0 || r == rows - 1 || c == columns - 1;
            if (border && label[idx(c, r)] != best) {
                outside[idx(c, r)] = 1;
                queue.push_back({c, r});
            }
        }
    while (!queue.empty()) {
        auto [qc, qr] = queue.front();
        queue.pop_front();
        const int dc[4] = {1, -1, 0, 0}, dr[4] = {0, 0, 1, -1};
        for (int k = 0; k < 4; ++k) {
            const int nc = qc + dc[k], nr = qr + dr[k];
            if (nc < 0 || nr < 0 || nc >= columns || nr >= rows) continue;
            if (outside[idx(nc, nr)] || label[idx(nc, nr)] == best) continue;
            outside[idx(nc, nr)] = 1;
            queue.push_back({nc, nr});
        }
    }
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = best != 0 && !outside[i];
}

// Chessboard distance (in blocks) to the nearest background block or grid edge.
std::vector<std::uint8_t> Depth(const std::vector<std::uint8_t>& mask, int columns, int rows) {
    std::vector<std::uint8_t> depth(mask.size());
    for (std::size_t i = 0; i < mask.size(); ++i) depth[i] = mask[i] ? 255 : 0;
    auto idx = [columns](int c, int r) { return static_cast<std::size_t>(r) * columns + c; };
    for (int pass = 0; pass < 2; ++pass) {
        for (int k = 0; k < columns * rows; ++k) {
            const int i = pass == 0 ? k : columns * rows - 1 - k;
            const int c = i % columns, r = i / columns;
            if (!depth[i]) continue;
            int best = depth[i];
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const int cc = c + dc, rr = r + dr;
                    const int v =
                        (cc < 0 || rr < 0 || cc >= columns || rr >= rows) ? 0 : depth[idx(cc, rr)];
                    best = std::min(best, v + 1);
                }
            depth[i] = static_cast<std::uint8_t>(best);
        }
    }
    return depth;
}

// Nearest integer, halves rounded up; inline, unlike std::floor without SSE4.1.
int RoundToInt(float v) {
    const float u = v + 0.5f;
    const int i = static_cast<int>(u);
    return i - (static_cast<float>(i) > u);
}

// Ridge period from the grey profile across the ridges, by zero crossings.
float MeasurePeriod(const FloatImage& img, float cx, float cy, float nx, float ny) {
    constexpr int kAcross = 16, kAlong = 6;
    float profile[2 * kAcross];
    const float tx = -ny, ty = nx;
    for (int k = -kAcross; k < kAcross; ++k) {
        float s = 0;
        int n = 0;
        for (int l = -kAlong; l <= kAlong; l += 2) {
            const int x = RoundToInt(cx + k * nx + l * tx);
            const int y = RoundToInt(cy + k * ny + l * ty);
            if (x < 0 || y < 0 || x >= img.width || y >= img.height) continue;
            s += img.at(x, y);
            ++n;
        }
        if (n == 0) return 0;
        profile[k + kAcross] = s / n;
    }
    float smooth[2 * kAcross];
    float mean = 0;
    for (int i = 0; i < 2 * kAcross; ++i) {
        const float a = profile[std::max(i - 1, 0)], b = profile[i],
                    c = profile[std::min(i + 1, 2 * kAcross - 1)];
        smooth[i] = 0.25f * a + 0.5f * b + 0.25f * c;
        mean += smooth[i];
    }
    mean /= 2 * kAcross;
    float first = -1, last = -1, amplitude = 0;
    int crossings = 0;
    for (int i = 1; i < 2 * kAcross; ++i) {
        const float a = smooth[i - 1] - mean, b = smooth[i] - mean;
        amplitude = std::max(amplitude, std::fabs(b));
        if ((a < 0) != (b < 0)) {
            const float at = i - 1 + a / (a - b);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 3 || amplitude < 2.f) return 0;
    const float period = 2 * (last - first) / (crossings - 1);
    return (period >= 3.f && period <= 20.f) ? period : 0.f;
}

}  // namespace

float BlockField::orientationAt(float x, float y, float* coherence) const {
    const float fc = std::clamp(x / kBlock - 0.5f, 0.f, static_cast<float>(columns - 1));
    const float fr = std::clamp(y / kBlock - 0.5f, 0.f, static_cast<float>(rows - 1));
    const int c0 = static_cast<int>(fc), r0 = static_cast<int>(fr);
    const int c1 = std::min(c0 + 1, columns - 1), r1 = std::min(r0 + 1, rows - 1);
    const float ax = fc - c0, ay = fr - r0;
    auto lerp = [&](const std::vector<float>& v) {
        return (1 - ay) * ((1 - ax) * v[index(c0, r0)] + ax * v[index(c1, r0)]) +
               ay * ((1 - ax) * v[index(c0, r1)] + ax * v[index(c1, r1)]);
    };
    const float c2 = lerp(cos2), s2 = lerp(sin2);
    if (coherence) *coherence = std::sqrt(c2 * c2 + s2 * s2);
    float a = 0.5f * std::atan2(s2, c2);
    return a < 0 ? a + kPi : a;
}

float BlockField::periodAt(float x, float y) const {
    const int c = std::clamp(static_cast<int>(x) / kBlock, 0, columns - 1);
    const int r = std::clamp(static_cast<int>(y) / kBlock, 0, rows - 1);
    return period[index(c, r)];
}

float BlockField::depthAt(float x, float y) const {
    const int c = std::clamp(static_cast<int>(x) / kBlock, 0, columns - 1);
    const int r = std::clamp(static_cast<int>(y) / kBlock, 0, rows - 1);
    return depth[index(c, r)];
}

BlockField ComputeField(const FloatImage& img) {
    const int w = img.width, h = img.height;
    BlockField f;
    f.columns = (w + kBlock - 1) / kBlock;
    f.rows = (h + kBlock - 1) / kBlock;
    const std::size_t n = static_cast<std::size_t>(f.columns) * f.rows;

    // Sobel gradients of a lightly blurred copy: pixel noise of some sensors
    // otherwise outweighs the ridges in the tensor.
    const FloatImage soft = Blur(img);
    FloatImage gx(w, h), gy(w, h);
    auto px = [&](int x, int y) {
        return soft.at(std::clamp(x, 0, w - 1), std::clamp(y, 0, h - 1));
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            gx.at(x, y) = (px(x + 1, y - 1) + 2 * px(x + 1, y) + px(x + 1, y + 1)) -
                          (px(x - 1, y - 1) + 2 * px(x - 1, y) + px(x - 1, y + 1));
            gy.at(x, y) = (px(x - 1, y + 1) + 2 * px(x, y + 1) + px(x + 1, y + 1)) -
                          (px(x - 1, y - 1) + 2 * px(x, y - 1) + px(x + 1, y - 1));
        }
    Integral sxx(w, h), sxy(w, h), sgg(w, h), si(w, h), sii(w, h);
    sxx.build([&](int x, int y) { return gx.at(x, y) * gx.at(x, y) - gy.at(x, y) * gy.at(x, y); });
    sxy.build([&](int x, int y) { return 2 * gx.at(x, y) * gy.at(x, y); });
    sgg.build([&](int x, int y) { return gx.at(x, y) * gx.at(x, y) + gy.at(x, y) * gy.at(x, y); });
    si.build([&](int x, int y) { return img.at(x, y); });
    sii.build([&](int x, int y) { return img.at(x, y) * img.at(x, y); });

    f.cos2.assign(n, 0.f);
    f.sin2.assign(n, 0.f);
    f.mean.assign(n, 0.f);
    f.deviation.assign(n, 0.f);
    f.mask.assign(n, 0);
    std::vector<float> coherence(n, 0.f);
    constexpr int kHalf = 12;  // orientation window: about two and a half ridge periods
    for (int r = 0; r < f.rows; ++r)
        for (int c = 0; c < f.columns; ++c) {
            const int cx = c * kBlock + kBlock / 2, cy = r * kBlock + kBlock / 2;
            const int x0 = cx - kHalf, y0 = cy - kHalf, x1 = cx + kHalf, y1 = cy + kHalf;
            const double area = (std::clamp(x1, 0, w) - std::clamp(x0, 0, w)) *
                                static_cast<double>(std::clamp(y1, 0, h) - std::clamp(y0, 0, h));
            const double a = sxx.sum(x0, y0, x1, y1), b = sxy.sum(x0, y0, x1, y1);
            const double g = sgg.sum(x0, y0, x1, y1);
            const double mean = si.sum(x0, y0, x1, y1) / area;
            const double var = std::max(0.0, sii.sum(x0, y0, x1, y1) / area - mean * mean);
            const std::size_t i = f.index(c, r);
            // Gradients are normal to the ridges: turn the doubled angle by pi.
            f.cos2[i] = g > 0 ? static_cast<float>(-a / g) : 0.f;
            f.sin2[i] = g > 0 ? static_cast<float>(-b / g) : 0.f;
            coherence[i] = std::hypot(f.cos2[i], f.sin2[i]);
            f.mean[i] = static_cast<float>(mean);
            f.deviation[i] = static_cast<float>(std::sqrt(var));
        }

    // Foreground: enough grey-level contrast, relative to the print's own.
    std::vector<float> sorted(f.deviation);
    std::sort(sorted.begin(), sorted.end());
    const float p90 = sorted[sorted.size() * 9 / 10];
    const float threshold = std::max(6.f, 0.3f * p90);
    // Ridges keep one direction over several blocks; sensor noise and smudges
    // in the background do not, so their averaged tensor is short.
    std::vector<float> flowC(f.cos2), flowS(f.sin2), everywhere(n, 1.f);
    SmoothWeighted(flowC, everywhere, f.columns, f.rows, 1.5f);
    SmoothWeighted(flowS, everywhere, f.columns, f.rows, 1.5f);
    for (std::size_t i = 0; i < n; ++i)
        f.mask[i] = f.deviation[i] > threshold &&
                    (coherence[i] > 0.1f || f.deviation[i] > 2 * threshold) &&
                    std::hypot(flowC[i], flowS[i]) > 0.2f;
    CleanMask(f.mask, f.columns, f.rows);
    f.depth = Depth(f.mask, f.columns, f.rows);

    std::vector<float> weight(n);
    for (std::size_t i = 0; i < n; ++i) weight[i] = f.mask[i] ? 1.f : 0.f;
    SmoothWeighted(f.cos2, weight, f.columns, f.rows, 1.5f);
    SmoothWeighted(f.sin2, weight, f.columns, f.rows, 1.5f);

    // Ridge period, measured per block, filled in and smoothed.
    f.period.assign(n, 0.f);
    std::vector<float> valid(n, 0.f);
    std::vector<float> found;
    for (int r = 0; r < f.rows; ++r)
        for (int c = 0; c < f.columns; ++c) {
            const std::size_t i = f.index(c, r);
            if (!f.mask[i]) continue;
            const float theta = 0.5f * std::atan2(f.sin2[i], f.cos2[i]);
            const float p = MeasurePeriod(img, c * kBlock + kBlock / 2.f, r * kBlock + kBlock / 2.f,
                                          -std::sin(theta), std::cos(theta));
            if (p > 0) {
                f.period[i] = p;
                valid[i] = 1.f;
                found.push_back(p);
            }
        }
    float median = 9.f;
    if (!found.empty()) {
        std::nth_element(found.begin(), found.begin() + found.size() / 2, found.end());
        median = found[found.size() / 2];
        // A scale read from a few blocks would be a guess.
        if (found.size() >= 16) f.typicalPeriod = median;
    }
    // Reject outliers against the print's own median before smoothing.
    for (std::size_t i = 0; i < n; ++i)
        if (valid[i] > 0 && (f.period[i] < 0.6f * median || f.period[i] > 1.6f * median))
            valid[i] = 0, f.period[i] = 0;
    std::vector<float> weighted(f.period);
    SmoothWeighted(weighted, valid, f.columns, f.rows, 2.f);
    for (std::size_t i = 0; i < n; ++i) f.period[i] = weighted[i] > 0 ? weighted[i] : median;
    return f;
}

}  // namespace fp::detail
