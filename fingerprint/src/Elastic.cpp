// Elastic consolidation: skin distorts unevenly, so a rigid alignment of two
// impressions pairs the minutiae near the centre of its pairs, loses those
// further out and sees the ridge flow there turned. A smoothing thin-plate
// spline (Bazen and Gerez 2003) fitted on the rigid pairs follows the
// distortion: the minutiae moved by it are paired again with a tight
// tolerance, and the ridge flow is compared under it.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "MatcherInternal.h"
#include "fp/Matcher.h"

namespace fp::detail {
namespace {

using namespace params;

// Natural logarithm of x > 0 within about 1e-4: the spline is evaluated at
// every flow cell for every pair, and a library call there would cost more
// than all the rest.
inline float FastLog(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    const float exponent = static_cast<float>(static_cast<int>(bits >> 23) - 127);
    const float m = std::bit_cast<float>((bits & 0x007FFFFFu) | 0x3F800000u);  // [1, 2)
    const float logM =
        -1.7417939f + (2.8212026f + (-1.4699568f + (0.44717955f - 0.056570851f * m) * m) * m) * m;
    return exponent * 0.69314718f + logM;
}

// Solves a x = b in place (a is n x n, row-major; b holds two columns, x and y
// interleaved) with partial pivoting; false when singular.
bool Solve(double* a, double* b, std::size_t n) {
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t row = col + 1; row < n; ++row)
            if (std::abs(a[row * n + col]) > std::abs(a[pivot * n + col])) pivot = row;
        if (std::abs(a[pivot * n + col]) < 1e-12) return false;
        if (pivot != col) {
            std::swap_ranges(a + col * n, a + col * n + n, a + pivot * n);
            std::swap(b[col * 2], b[pivot * 2]);
            std::swap(b[col * 2 + 1], b[pivot * 2 + 1]);
        }
        for (std::size_t row = col + 1; row < n; ++row) {
            const double f = a[row * n + col] / a[col * n + col];
            if (f == 0) continue;
            for (std::size_t k = col; k < n; ++k) a[row * n + k] -= f * a[col * n + k];
            b[row * 2] -= f * b[col * 2];
            b[row * 2 + 1] -= f * b[col * 2 + 1];
        }
    }
    for (std::size_t col = n; col-- > 0;) {
        for (std::size_t k = col + 1; k < n; ++k) {
            b[col * 2] -= a[col * n + k] * b[k * 2];
            b[col * 2 + 1] -= a[col * n + k] * b[k * 2 + 1];
        }
        b[col * 2] /= a[col * n + col];
        b[col * 2 + 1] /= a[col * n + col];
    }
    return true;
}

// A smoothing thin-plate spline: the displacement that takes each of the
// buffers' `from` points near its `to` point, in units of kWarpUnit pixels.
class Spline {
public:
    explicit Spline(SplineBuffers& b) : b_(b) {}

    bool Fit() {
        const std::size_t m = b_.from.size() / 2, n = m + 3;
        auto& a = b_.system;
        auto& w = b_.solution;
        a.assign(n * n, 0);
        w.assign(n * 2, 0);
        for (std::size_t i = 0; i < m; ++i) {
            const double xi = b_.from[i * 2] / kWarpUnit, yi = b_.from[i * 2 + 1] / kWarpUnit;
            for (std::size_t j = 0; j < i; ++j) {
                const double dx = xi - b_.from[j * 2] / kWarpUnit;
                const double dy = yi - b_.from[j * 2 + 1] / kWarpUnit;
                const double r2 = dx * dx + dy * dy;
                a[i * n + j] = a[j * n + i] = r2 > 0 ? 0.5 * r2 * std::log(r2) : 0.0;
            }
            a[i * n + i] = kWarpSmoothing;
            a[i * n + m] = a[m * n + i] = 1;
            a[i * n + m + 1] = a[(m + 1) * n + i] = xi;
            a[i * n + m + 2] = a[(m + 2) * n + i] = yi;
            w[i * 2] = (b_.to[i * 2] - b_.from[i * 2]) / kWarpUnit;
            w[i * 2 + 1] = (b_.to[i * 2 + 1] - b_.from[i * 2 + 1]) / kWarpUnit;
        }
        if (!Solve(a.data(), w.data(), n)) return false;
        b_.weights.assign(w.begin(), w.end());
        b_.nodes.resize(m * 2);
        for (std::size_t k = 0; k < m * 2; ++k) b_.nodes[k] = b_.from[k] / kWarpUnitF;
        return true;
    }

    // Where the spline takes (x, y), and how far it turns the neighbourhood
    // there (radians).
    void Move(float x, float y, float& ox, float& oy, float& turn) const {
        const std::size_t m = b_.from.size() / 2;
        const float* w = b_.weights.data();
        const float qx = x / kWarpUnitF, qy = y / kWarpUnitF;
        const float* affine = w + m * 2;
        float dx = affine[0] + affine[2] * qx + affine[4] * qy;
        float dy = affine[1] + affine[3] * qx + affine[5] * qy;
        // Derivatives of the displacement, for the turn.
        float dxx = affine[2], dxy = affine[4], dyx = affine[3], dyy = affine[5];
        for (std::size_t k = 0; k < m; ++k) {
            const float ex = qx - b_.nodes[k * 2], ey = qy - b_.nodes[k * 2 + 1];
            const float r2 = ex * ex + ey * ey;
            if (!(r2 > 0)) continue;
            const float log = FastLog(r2);
            const float u = 0.5f * r2 * log, slope = log + 1;
            dx += w[k * 2] * u, dy += w[k * 2 + 1] * u;
            dxx += w[k * 2] * slope * ex, dxy += w[k * 2] * slope * ey;
            dyx += w[k * 2 + 1] * slope * ex, dyy += w[k * 2 + 1] * slope * ey;
        }
        ox = x + dx * kWarpUnitF;
        oy = y + dy * kWarpUnitF;
        turn = std::atan2(dyx - dxy, 2 + dxx + dyy);
    }

private:
    static constexpr float kWarpUnitF = static_cast<float>(kWarpUnit);
    SplineBuffers& b_;
};

// The pairs' rigidly aligned probe positions and their partners', as the
// spline's from and to points (or the other way round).
void Gather(const PrintLayout& probe, const PrintLayout& ref, const Transform& t,
            const std::vector<std::pair<int, int>>& pairs, bool toReference, SplineBuffers& b) {
    b.from.clear(), b.to.clear();
    for (auto [i, j] : pairs) {
        float x, y;
        t.apply(probe.points[i].x, probe.points[i].y, x, y);
        auto& aligned = toReference ? b.from : b.to;
        auto& partner = toReference ? b.to : b.from;
        aligned.push_back(x), aligned.push_back(y);
        partner.push_back(ref.points[j].x), partner.push_back(ref.points[j].y);
    }
}

// Ridge-flow agreement as FlowAgreement gives it, each reference cell moved
// by the warp (reference to aligned probe) before the alignment's inverse.
float WarpedFlowAgreement(const PrintLayout& probe, const FlowCells& ref, const Transform& t,
                          const Spline& warp, int& cells) {
    cells = 0;
    const OrientationGrid& po = probe.orientation;
    if (po.columns == 0 || ref.count == 0 || probe.flowGrid.empty()) return 0;
    const Transform inverse = t.inverse();
    const float* grid = probe.flowGrid.data();
    float sum = 0;
    // Cells that the rigid alignment puts well outside the probe's grid stay
    // outside under any warp the pairs allow; the spline is not worked out there.
    const float margin = 2 * kMostPairDistance;
    const float right = static_cast<float>(po.columns * po.cell) + margin;
    const float bottom = static_cast<float>(po.rows * po.cell) + margin;
    for (std::size_t k = 0; k < ref.count; ++k) {
        float wx, wy, turn, x, y;
        inverse.apply(ref.x[k], ref.y[k], x, y);
        if (!(x >= -margin && y >= -margin && x < right && y < bottom)) continue;
        warp.Move(ref.x[k], ref.y[k], wx, wy, turn);
        inverse.apply(wx, wy, x, y);
        if (!(x >= 0 && y >= 0)) continue;
        const int column = static_cast<int>(x) / po.cell, row = static_cast<int>(y) / po.cell;
        if (column >= po.columns || row >= po.rows) continue;
        const float* b = grid + 4 * (static_cast<std::size_t>(row) * po.columns + column);
        const float angle = 2 * (t.angle - turn);
        const float cr = std::cos(angle), sr = std::sin(angle);
        const float ca = ref.cos[k], sa = ref.sin[k];
        sum += (ca * cr + sa * sr) * b[0] + (sa * cr - ca * sr) * b[1];
        cells += b[2] != 0.f;
    }
    return cells > 0 ? sum / static_cast<float>(cells) : 0;
}

}  // namespace

bool Consolidate(const PrintLayout& probe, const PrintLayout& ref, const FlowCells& refFlow,
                 const Transform& t, double rigid, int threshold, Scratch& scratch,
                 Consolidation& out) {
    // A spline fitted on fewer pairs bends to fit chance pairs of different
    // fingers as well; the rigid pairs here are as generous as the seeds'.
    if (Pair(probe, ref, t, static_cast<float>(ref.width) / 2, static_cast<float>(ref.height) / 2,
             kSeedPairDistance, kStretch, scratch) < kElasticPairs)
        return false;

    const std::size_t np = probe.points.size();
    PrintLayout& warped = scratch.warped;
    warped.points.resize(np);
    warped.rowIndex = probe.rowIndex;
    warped.rowX.assign(probe.rowX.size(), kOutside);
    warped.rowY.assign(probe.rowY.size(), kOutside);
    warped.rowAngle.assign(probe.rowAngle.size(), 0);
    // The pairs of the last rigid or warped pairing with enough of them.
    auto& fitted = scratch.seedPairs;
    fitted = scratch.pairs;
    Spline spline(scratch.spline);
    const Transform identity;
    int matched = 0;
    for (int round = 0; round < kElasticRounds; ++round) {
        Gather(probe, ref, t, fitted, true, scratch.spline);
        if (!spline.Fit()) return false;
        float cx = 0, cy = 0;
        for (std::size_t k = 0; k < fitted.size(); ++k)
            cx += scratch.spline.to[k * 2], cy += scratch.spline.to[k * 2 + 1];
        cx /= static_cast<float>(fitted.size()), cy /= static_cast<float>(fitted.size());
        for (std::size_t k = 0; k < np; ++k) {
            float x, y, turn;
            t.apply(probe.rowX[k], probe.rowY[k], x, y);
            spline.Move(x, y, warped.rowX[k], warped.rowY[k], turn);
            warped.rowAngle[k] =
                static_cast<std::uint8_t>((probe.rowAngle[k] + t.units + ToUnits(turn)) & 255);
        }
        const int again = Pair(warped, ref, identity, cx, cy, kElasticPairDistance, 0.f, scratch);
        if (again < kElasticPairs) break;
        matched = again;
        fitted = scratch.pairs;
    }
    float local = 0;
    if (matched > 0)
        for (auto [i, j] : fitted) local += scratch.Local(probe, ref, i, j);
    // The evidence of the tight pairs on the rigid alignment's overlap, or
    // the rigid alignment's own when that is more; then the ridge flow under
    // the warp the other way, fitted on the same pairs as the last one.
    const double tight =
        matched > 0 ? Evidence(local, matched) /
                          Overlap(SeenWeight(probe, t, ref), SeenWeight(ref, t.inverse(), probe))
                    : 0;
    // The flow can only lower the similarity.
    if (threshold > 0 && ScoreFromSimilarity(std::max(tight, rigid),
                                             probe.ridgeCounted && ref.ridgeCounted) < threshold)
        return false;
    Gather(probe, ref, t, fitted, false, scratch.spline);
    if (!spline.Fit()) return false;
    int cells = 0;
    out.agreement = WarpedFlowAgreement(probe, refFlow, t, spline, cells);
    out.similarity = std::max(tight, rigid) * FlowFactor(out.agreement, cells);
    out.matched = tight > rigid ? matched : 0;
    return true;
}

}  // namespace fp::detail
