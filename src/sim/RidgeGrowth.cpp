#include "sim/RidgeGrowth.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

#include "sim/DetMath.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KVT_SIM_SSE2 1
#endif

namespace kvt::sim {

namespace {

constexpr int kRadius = 8;
constexpr int kSize = 2 * kRadius + 1;  // 17
constexpr int kStride = 24;             // taps per kernel row, zero padded
constexpr int kKernelTaps = kSize * kStride;
constexpr int kGainShift = 12;  // kernels respond 4096 to a unit matched wave

// Kernel bank: every orientation bin x period bin, built once per process.
class KernelBank {
public:
    static const KernelBank& Instance() {
        static const KernelBank bank;
        return bank;
    }
    const int16_t* Kernel(int orientationBin, int periodBin) const {
        return &m_taps[(static_cast<size_t>(orientationBin) * kPeriodBins + periodBin) *
                       kKernelTaps];
    }

private:
    KernelBank() : m_taps(static_cast<size_t>(kOrientationBins) * kPeriodBins * kKernelTaps, 0) {
        std::array<double, kSize * kSize> k{};
        for (int ob = 0; ob < kOrientationBins; ++ob) {
            double s, c;
            det::SinCos(ob * det::kPi / kOrientationBins, &s, &c);
            for (int pb = 0; pb < kPeriodBins; ++pb) {
                const double period = kPeriodBinFirst + kPeriodBinStep * pb;
                const double sigmaAcross = 0.36 * period;
                const double sigmaAlong = std::fmin(0.5 * period, 5.0);
                double mean = 0;
                for (int dy = -kRadius; dy <= kRadius; ++dy) {
                    for (int dx = -kRadius; dx <= kRadius; ++dx) {
                        // Ridge direction (c, -s) in image coordinates, normal (-s, -c).
                        const double along = dx * c - dy * s;
                        const double across = -dx * s - dy * c;
                        const double env =
                            det::Exp(-0.5 * (along * along / (sigmaAlong * sigmaAlong) +
                                             across * across / (sigmaAcross * sigmaAcross)));
                        const double v = (dx * dx + dy * dy > kRadius * kRadius + kRadius)
                                             ? 0.0
                                             : env * det::Cos(det::kTwoPi * across / period);
                        k[(dy + kRadius) * kSize + dx + kRadius] = v;
                        mean += v;
                    }
                }
                // Zero mean (inside the disc), so growth favours neither ridge nor valley.
                int count = 0;
                for (int dy = -kRadius; dy <= kRadius; ++dy)
                    for (int dx = -kRadius; dx <= kRadius; ++dx)
                        if (dx * dx + dy * dy <= kRadius * kRadius + kRadius) ++count;
                mean /= count;
                double gain = 0;
                for (int dy = -kRadius; dy <= kRadius; ++dy) {
                    for (int dx = -kRadius; dx <= kRadius; ++dx) {
                        if (dx * dx + dy * dy > kRadius * kRadius + kRadius) continue;
                        double& v = k[(dy + kRadius) * kSize + dx + kRadius];
                        v -= mean;
                        const double across = -dx * s - dy * c;
                        gain += v * det::Cos(det::kTwoPi * across / period);
                    }
                }
                int16_t* out = &m_taps[(static_cast<size_t>(ob) * kPeriodBins + pb) * kKernelTaps];
                int sum = 0;
                for (int dy = 0; dy < kSize; ++dy) {
                    for (int dx = 0; dx < kSize; ++dx) {
                        const int q = static_cast<int>(
                            det::Round(k[dy * kSize + dx] * (1 << kGainShift) / gain));
                        out[dy * kStride + dx] = static_cast<int16_t>(q);
                        sum += q;
                    }
                }
                out[kRadius * kStride + kRadius] =
                    static_cast<int16_t>(out[kRadius * kStride + kRadius] - sum);
            }
        }
    }
    std::vector<int16_t> m_taps;
};

// ThreadSanitizer would instrument each of the 51 loads per pixel and make a
// master print take half a minute; this function only reads buffers owned by
// the calling thread, so it is left uninstrumented.
#if defined(__SANITIZE_THREAD__)
#define KVT_SIM_NO_TSAN __attribute__((no_sanitize_thread, noinline))
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KVT_SIM_NO_TSAN __attribute__((no_sanitize_thread, noinline))
#endif
#endif
#ifndef KVT_SIM_NO_TSAN
#define KVT_SIM_NO_TSAN inline
#endif

// Filter response at one pixel: p points at the state pixel (padded buffer
// with row stride `stride`), kernel as laid out in the bank.
KVT_SIM_NO_TSAN int32_t Respond(const int16_t* p, size_t stride, const int16_t* kernel) {
    const int16_t* row = p - kRadius * stride - kRadius;
#ifdef KVT_SIM_SSE2
    __m128i acc = _mm_setzero_si128();
    for (int r = 0; r < kSize; ++r) {
        const int16_t* a = row + r * stride;
        const int16_t* b = kernel + r * kStride;
        acc = _mm_add_epi32(acc,
                            _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(b))));
        acc = _mm_add_epi32(
            acc, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 8)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 8))));
        acc = _mm_add_epi32(
            acc, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16))));
    }
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(acc);
#else
    int32_t acc = 0;
    for (int r = 0; r < kSize; ++r) {
        const int16_t* a = row + r * stride;
        const int16_t* b = kernel + r * kStride;
        for (int i = 0; i < kStride; ++i) acc += static_cast<int32_t>(a[i]) * b[i];
    }
    return acc;
#endif
}

constexpr int kTile = 8;

}  // namespace

uint8_t OrientationToBin(double theta) {
    int b = static_cast<int>(det::Round(theta * kOrientationBins / det::kPi));
    b %= kOrientationBins;
    if (b < 0) b += kOrientationBins;
    return static_cast<uint8_t>(b);
}

uint8_t PeriodToBin(double period) {
    const int b = static_cast<int>(det::Round((period - kPeriodBinFirst) / kPeriodBinStep));
    return static_cast<uint8_t>(std::clamp(b, 0, kPeriodBins - 1));
}

GrowthResult GrowRidges(const GrowthInput& in) {
    const KernelBank& bank = KernelBank::Instance();
    const int W = in.width, H = in.height;
    // Padded buffers: kRadius on every side plus the zero-padded tail of the
    // kernel rows (kStride - kSize) on the right.
    const int padL = kRadius, padT = kRadius;
    const size_t stride = static_cast<size_t>(W) + kRadius + kRadius + (kStride - kSize);
    const size_t rows = static_cast<size_t>(H) + 2 * kRadius;
    std::vector<int16_t> cur(stride * rows, 0), next(stride * rows, 0);
    auto at = [&](std::vector<int16_t>& b, int x, int y) -> int16_t& {
        return b[(static_cast<size_t>(y) + padT) * stride + x + padL];
    };

    // Seeds: a small disc of the local ridge wave with a random phase.
    for (const auto& seed : in.seeds) {
        const size_t i = static_cast<size_t>(seed.y) * W + seed.x;
        double s, c;
        det::SinCos(in.orientationBin[i] * det::kPi / kOrientationBins, &s, &c);
        const double period = kPeriodBinFirst + kPeriodBinStep * in.periodBin[i];
        for (int dy = -5; dy <= 5; ++dy) {
            for (int dx = -5; dx <= 5; ++dx) {
                const int x = seed.x + dx, y = seed.y + dy;
                if (dx * dx + dy * dy > 25 || x < 0 || y < 0 || x >= W || y >= H) continue;
                if (!in.region[static_cast<size_t>(y) * W + x]) continue;
                const double across = -dx * s - dy * c;
                at(cur, x, y) = static_cast<int16_t>(
                    det::Round(127.0 * det::Cos(det::kTwoPi * across / period + seed.phase)));
            }
        }
    }

    const int tilesX = (W + kTile - 1) / kTile, tilesY = (H + kTile - 1) / kTile;
    std::vector<uint8_t> tileLive(static_cast<size_t>(tilesX) * tilesY),
        tileActive(tileLive.size());
    std::vector<uint8_t> tileInRegion(tileLive.size(), 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (in.region[static_cast<size_t>(y) * W + x])
                tileInRegion[(y / kTile) * tilesX + x / kTile] = 1;

    GrowthResult result;
    int settle = -1;
    for (int iter = 0; iter < in.maxIterations; ++iter) {
        // A tile is live when it holds any non-zero state; active when it or a
        // neighbour is live (the filter reaches kRadius <= kTile pixels).
        std::fill(tileLive.begin(), tileLive.end(), 0);
        for (int y = 0; y < H; ++y) {
            const int16_t* row = &at(cur, 0, y);
            for (int x = 0; x < W; ++x)
                if (row[x] != 0) tileLive[(y / kTile) * tilesX + x / kTile] = 1;
        }
        bool covered = true;
        for (int ty = 0; ty < tilesY; ++ty) {
            for (int tx = 0; tx < tilesX; ++tx) {
                uint8_t a = 0;
                for (int ny = std::max(0, ty - 1); ny <= std::min(tilesY - 1, ty + 1) && !a; ++ny)
                    for (int nx = std::max(0, tx - 1); nx <= std::min(tilesX - 1, tx + 1) && !a;
                         ++nx)
                        a = tileLive[ny * tilesX + nx];
                tileActive[ty * tilesX + tx] = a;
                if (tileInRegion[ty * tilesX + tx] && !tileLive[ty * tilesX + tx]) covered = false;
            }
        }
        if (covered && settle < 0) settle = in.settleIterations;
        if (settle == 0) break;
        if (settle > 0) --settle;

        std::fill(next.begin(), next.end(), 0);
        for (int ty = 0; ty < tilesY; ++ty) {
            for (int tx = 0; tx < tilesX; ++tx) {
                if (!tileActive[ty * tilesX + tx]) continue;
                const int y1 = std::min(H, (ty + 1) * kTile), x1 = std::min(W, (tx + 1) * kTile);
                for (int y = ty * kTile; y < y1; ++y) {
                    for (int x = tx * kTile; x < x1; ++x) {
                        const size_t i = static_cast<size_t>(y) * W + x;
                        if (!in.region[i]) continue;
                        const int32_t r =
                            Respond(&at(cur, x, y), stride,
                                    bank.Kernel(in.orientationBin[i], in.periodBin[i]));
                        // Gain 2, then clip: the pattern saturates into clean ridges.
                        const int32_t v = r >> (kGainShift - 1);
                        at(next, x, y) = static_cast<int16_t>(std::clamp(v, -127, 127));
                    }
                }
            }
        }
        std::swap(cur, next);
        result.iterations = iter + 1;
    }

    result.state.assign(static_cast<size_t>(W) * H, 0);
    result.field.assign(static_cast<size_t>(W) * H, 0);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const size_t i = static_cast<size_t>(y) * W + x;
            result.state[i] = at(cur, x, y);
            if (!in.region[i]) continue;
            const int32_t r =
                Respond(&at(cur, x, y), stride, bank.Kernel(in.orientationBin[i], in.periodBin[i]));
            // A saturated wave of +-127 answers about 160 * 4096; scale to ~100.
            const int32_t v = (r / 4096) * 5 / 8;
            result.field[i] = static_cast<int8_t>(std::clamp(v, -127, 127));
        }
    }
    return result;
}

}  // namespace kvt::sim
