#include "sim/LiveFingerMaterial.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "sim/DetMath.h"

namespace kvt::sim {

namespace {

struct Node {
    int b;
    int value;  // 0..255
    bool mark;
};

// Upper and lower envelopes and interpolation as the LFD check defines them.
void Interpolate(std::vector<Node>& e) {
    const int n = static_cast<int>(e.size());
    int i = 0;
    while (i < n - 1) {
        if (!e[i].mark) {
            ++i;
            continue;
        }
        int j = i + 1;
        while (j < n && !e[j].mark) ++j;
        if (j >= n) break;
        for (int k = i + 1; k < j; ++k) {
            const int32_t v =
                e[i].value + ((e[k].b - e[i].b) * (e[j].value - e[i].value)) / (e[j].b - e[i].b);
            e[k].value = static_cast<uint8_t>(v);
        }
        i = j;
    }
}

uint32_t UpperSum(const std::vector<Node>& p) {
    std::vector<Node> u = p;
    const int n = static_cast<int>(u.size());
    for (auto& x : u) x.mark = false;
    u[0].mark = u[n - 1].mark = true;
    int level = 0;
    for (int i = 1; i <= n - 2; ++i) {
        const int v = u[i].value;
        if (v >= level) {
            level = v;
            if (v >= u[i - 1].value && v >= u[i + 1].value) u[i].mark = true;
        } else {
            bool higherLater = false;
            for (int j = i; j < n && !higherLater; ++j) higherLater = u[j].value > v;
            if (!higherLater) {
                level = v;
                if (v > u[i - 1].value && v > u[i + 1].value) u[i].mark = true;
            }
        }
    }
    Interpolate(u);
    uint32_t sum = 0;
    for (const auto& x : u) sum += static_cast<uint32_t>(x.value);
    return sum;
}

uint32_t LowerSum(const std::vector<Node>& p) {
    std::vector<Node> e = p;
    const int n = static_cast<int>(e.size());
    for (auto& x : e) x.mark = false;
    e[n - 1].mark = true;
    int cursor = 0;
    for (int i = 1; i <= n - 2; ++i) {
        if (e[i].value >= e[i - 1].value && e[i].value >= e[i + 1].value) {
            if (cursor == 0) cursor = 1;
            for (int j = cursor; j <= i - 1; ++j) {
                if (e[j].value <= e[j - 1].value && e[j].value <= e[j + 1].value) {
                    e[j].mark = true;
                    break;
                }
            }
            cursor = i;
        }
    }
    Interpolate(e);
    uint32_t sum = 0;
    for (const auto& x : e) sum += static_cast<uint32_t>(x.value);
    return sum;
}

struct WindowGeometry {
    int w, h, left, top, bandRow, bandCol;
};

// The check's analysis window, centred; its profile bands (rows 73..76 and
// columns 118..121 of a 300 x 150 window) scaled for the small window.
WindowGeometry Window(int rw, int rh) {
    const bool small = rw < 384 || rh < 320;
    WindowGeometry g;
    g.w = small ? 150 : 300;
    g.h = small ? 75 : 150;
    g.left = (rw - g.w) / 2;
    g.top = (rh - g.h) / 2;
    g.bandRow = g.h / 2 - 2;
    g.bandCol = g.w * 118 / 300;
    return g;
}

// Raw-frame pixels that the two profiles read.
std::vector<size_t> ProfilePixels(int rw, int rh) {
    const WindowGeometry g = Window(rw, rh);
    std::vector<size_t> px;
    for (int m = 0; m < g.h; ++m)
        for (int x = 0; x < g.w; ++x)
            if ((m >= g.bandRow && m < g.bandRow + 4) || (x >= g.bandCol && x < g.bandCol + 4))
                px.push_back(static_cast<size_t>(g.top + g.h - 1 - m) * rw + g.left + x);
    return px;
}

// HDyn + VDyn of one frame.
int64_t Dynamics(const uint8_t* frame, int rw, int rh) {
    const WindowGeometry g = Window(rw, rh);
    const int w = g.w, h = g.h, left = g.left, top = g.top;
    // window(m, x) = frame(top + h - 1 - m, left + x)
    auto win = [&](int m, int x) -> int {
        return frame[static_cast<size_t>(top + h - 1 - m) * rw + left + x];
    };
    const int bandRow = g.bandRow, bandCol = g.bandCol;  // 73 and 118 for the 300 x 150 window
    std::vector<Node> hp(static_cast<size_t>(w) + 2), vp(static_cast<size_t>(h) + 2);
    hp[0] = {0, 0, false};
    hp[w + 1] = {w + 1, 0, false};
    for (int x = 0; x < w; ++x)
        hp[x + 1] = {
            x + 1,
            (win(bandRow, x) + win(bandRow + 1, x) + win(bandRow + 2, x) + win(bandRow + 3, x)) / 4,
            false};
    vp[0] = {0, 0, false};
    vp[h + 1] = {h + 1, 0, false};
    for (int m = 0; m < h; ++m)
        vp[m + 1] = {
            m + 1,
            (win(m, bandCol) + win(m, bandCol + 1) + win(m, bandCol + 2) + win(m, bandCol + 3)) / 4,
            false};
    const int64_t hdyn = static_cast<int64_t>(UpperSum(hp)) - LowerSum(hp);
    const int64_t vdyn = static_cast<int64_t>(UpperSum(vp)) - LowerSum(vp);
    return hdyn + vdyn;
}

}  // namespace

float MeasureFxRatio(const uint8_t* frame1, const uint8_t* frame2, int rawWidth, int rawHeight) {
    const int64_t d1 = Dynamics(frame1, rawWidth, rawHeight);
    const int64_t d2 = Dynamics(frame2, rawWidth, rawHeight);
    return static_cast<float>(static_cast<double>(d1) / static_cast<double>(d2));
}

ColourReadings MakeColourReadings(bool live, Rng& rng) {
    ColourReadings c;
    if (live) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const int off = static_cast<int>(det::Round(rng.Normal(180, 25)));
            const int red = static_cast<int>(det::Round(rng.Normal(6500, 450)));
            const int blue = static_cast<int>(det::Round(rng.Normal(1150, 110)));
            const int green = static_cast<int>(det::Round(rng.Normal(1400, 120)));
            const double k = rng.Normal(0.70, 0.025);
            const int ir = off + static_cast<int>(det::Round((red - off) / k));
            const bool ok = red > 4500 && red < 9000 && red - blue > 3800 && red - blue < 7800 &&
                            red - green > 3800 && red - green < 7800 && red - off > 3800 &&
                            red - off < 7800 && k > 0.62 && k < 0.78 && red >= 3.6 * blue &&
                            red >= 3.6 * green && ir >= 3.6 * green && ir >= 3.6 * blue &&
                            off >= 0 && ir < 32000;
            if (!ok) continue;
            c = {static_cast<int16_t>(ir), static_cast<int16_t>(blue), static_cast<int16_t>(green),
                 static_cast<int16_t>(red), static_cast<int16_t>(off)};
            return c;
        }
        return {9430, 1150, 1400, 6500, 180};
    }
    const int off = static_cast<int>(det::Round(rng.Normal(180, 25)));
    const int red = static_cast<int>(det::Round(det::Clamp(rng.Normal(2400, 200), 1800, 2950)));
    const int blue = static_cast<int>(det::Round(det::Clamp(rng.Normal(1900, 150), 1400, 2400)));
    const int green = static_cast<int>(det::Round(det::Clamp(rng.Normal(2100, 150), 1600, 2600)));
    const int ir = static_cast<int>(det::Round(det::Clamp(rng.Normal(2600, 200), 2000, 3200)));
    return {static_cast<int16_t>(ir), static_cast<int16_t>(blue), static_cast<int16_t>(green),
            static_cast<int16_t>(red), static_cast<int16_t>(off)};
}

std::vector<uint8_t> MakeCrossFrame(const uint8_t* frame1, const uint8_t* contact, int rw, int rh,
                                    bool live, Rng& rng) {
    const size_t n = static_cast<size_t>(rw) * rh;
    std::vector<uint8_t> out(n);
    // Box means of frame 1 over 2r+1 pixels, through an integral image.
    auto boxMean = [&](const std::vector<float>& src, int r) {
        std::vector<double> integral((static_cast<size_t>(rw) + 1) * (rh + 1), 0.0);
        for (int y = 0; y < rh; ++y) {
            double row = 0;
            for (int x = 0; x < rw; ++x) {
                row += src[static_cast<size_t>(y) * rw + x];
                integral[(static_cast<size_t>(y) + 1) * (rw + 1) + x + 1] =
                    integral[static_cast<size_t>(y) * (rw + 1) + x + 1] + row;
            }
        }
        std::vector<float> mean(n);
        for (int y = 0; y < rh; ++y) {
            for (int x = 0; x < rw; ++x) {
                const int x0 = std::max(0, x - r), x1 = std::min(rw, x + r + 1);
                const int y0 = std::max(0, y - r), y1 = std::min(rh, y + r + 1);
                const double s = integral[static_cast<size_t>(y1) * (rw + 1) + x1] -
                                 integral[static_cast<size_t>(y0) * (rw + 1) + x1] -
                                 integral[static_cast<size_t>(y1) * (rw + 1) + x0] +
                                 integral[static_cast<size_t>(y0) * (rw + 1) + x0];
                mean[static_cast<size_t>(y) * rw + x] =
                    static_cast<float>(s / ((x1 - x0) * (y1 - y0)));
            }
        }
        return mean;
    };
    std::vector<float> f1(n);
    for (size_t i = 0; i < n; ++i) f1[i] = frame1[i];
    std::vector<float> noise(n);
    for (auto& v : noise) v = static_cast<float>(rng.Normal());

    if (!live) {
        const double gain = rng.Uniform(0.72, 0.92);
        const double offset = rng.Uniform(0, 20);
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<uint8_t>(
                det::Clamp(det::Round(f1[i] * gain + offset + 1.5 * noise[i]), 0, 255));
        return out;
    }

    const std::vector<float> local = boxMean(f1, 6);
    std::vector<float> cover(n);
    for (size_t i = 0; i < n; ++i)
        cover[i] = contact ? contact[i] / 255.0f
                           : static_cast<float>(det::Clamp((230.0 - local[i]) / 90.0, 0, 1));
    const std::vector<float> glow = boxMean(cover, 12);
    const double base = rng.Uniform(40, 60), lift = rng.Uniform(60, 90);
    const double noiseSd = rng.Uniform(0.6, 1.2);
    const double target = rng.Uniform(7.0, 14.0);
    auto value = [&](size_t i, double k) {
        const double v = base + lift * glow[i] + k * (f1[i] - local[i]) + noiseSd * noise[i];
        return static_cast<uint8_t>(det::Clamp(det::Round(v), 0, 255));
    };
    // Only the pixels of the two profile bands matter to fxRatio: bisect k on
    // those (fxRatio falls as k grows), then build the whole frame.
    const std::vector<size_t> bands = ProfilePixels(rw, rh);
    auto ratioFor = [&](double k) {
        for (size_t i : bands) out[i] = value(i, k);
        return MeasureFxRatio(frame1, out.data(), rw, rh);
    };
    double lo = 0.0, hi = 1.0;
    for (int it = 0; it < 24; ++it) {
        const double mid = 0.5 * (lo + hi);
        if (ratioFor(mid) > target)
            lo = mid;
        else
            hi = mid;
    }
    double k = 0.5 * (lo + hi);
    const float ratio = ratioFor(k);
    // Nothing to calibrate against (no ridges along the profiles): a flat,
    // noisy diffuse frame.
    if (!(ratio > 3.5f && ratio < 25.0f)) k = 0.0;
    for (size_t i = 0; i < n; ++i) out[i] = value(i, k);
    return out;
}

}  // namespace kvt::sim
