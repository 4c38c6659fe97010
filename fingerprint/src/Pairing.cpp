// Pairing and refit: the alignment a seed pair gives, the minutiae it pairs
// one to one (cheapest links first), and a least-squares refit on those
// pairs; and how many minutiae of one print the other could have shown.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#include "MatcherInternal.h"

namespace fp::detail {
namespace {

using namespace params;

Transform FromPair(const PrintLayout::Point& p, const PrintLayout::Point& r) {
    Transform t;
    const int units = (r.angle - p.angle) & 255;
    t.angle = static_cast<float>(units) * kUnitToRadians;
    t.units = ToUnits(t.angle);
    t.c = Units().c[units];
    t.s = Units().s[units];
    t.dx = r.x - (t.c * p.x - t.s * p.y);
    t.dy = r.y - (t.s * p.x + t.c * p.y);
    return t;
}

// A pairing link as one sortable number: the cost's bits (non-negative floats
// order as their bit patterns), then the probe and reference minutiae.
inline std::uint64_t LinkKey(float cost, int p, int r) {
    return (static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(cost)) << 32) |
           (static_cast<std::uint64_t>(p) << 16) | static_cast<std::uint64_t>(r);
}

// Whether a position falls inside a print's foreground.
inline bool Inside(const PrintLayout& p, float x, float y) {
    if (!(x >= 0 && y >= 0 && x < static_cast<float>(p.width) && y < static_cast<float>(p.height)))
        return false;
    const int xi = static_cast<int>(x), yi = static_cast<int>(y);
    // The extractor's 16-pixel cells: a shift rather than a division.
    const int column = p.insideShift >= 0 ? xi >> p.insideShift : xi / p.insideCell;
    const int row = p.insideShift >= 0 ? yi >> p.insideShift : yi / p.insideCell;
    return p.inside[static_cast<std::size_t>(row) * p.insideColumns + column] != 0;
}

// Moves the probe minutiae by t and works out how far each may pair: skin
// stretches, so more play far from the alignment centre (cx, cy). They are
// taken in row order (`index` says which minutia each is).
void Place(const PrintLayout& probe, const PrintLayout& ref, const Transform& t, float cx, float cy,
           float baseTolerance, float stretchShare, Placed* out) {
    const std::size_t np = probe.points.size();
    // The reference minutiae whose y lies within the tolerance (with a pixel
    // to spare: their coordinates are whole pixels), from the bands of 4 rows.
    const int bands = static_cast<int>(ref.band.size()) - 1;
    const float lastBand = static_cast<float>(bands);
    auto run = [&](Placed& pl, float top, float bottom) {
        if (!(bottom >= 0.f && top < lastBand)) {
            pl.first = pl.last = 0;
            return;
        }
        const int from = static_cast<int>(std::max(top, 0.f));
        const int to = std::min(bands, static_cast<int>(std::min(bottom, lastBand)) + 1);
        pl.first = ref.band[static_cast<std::size_t>(from)];
        pl.last = ref.band[static_cast<std::size_t>(to)];
    };
    std::size_t i = 0;
#ifdef FP_MATCHER_SSE2
    // Four at a time, with the scalar arithmetic below lane by lane.
    const __m128 c = _mm_set1_ps(t.c), s = _mm_set1_ps(t.s);
    const __m128 dx = _mm_set1_ps(t.dx), dy = _mm_set1_ps(t.dy);
    const __m128 centreX = _mm_set1_ps(cx), centreY = _mm_set1_ps(cy);
    const __m128 base = _mm_set1_ps(baseTolerance), stretch = _mm_set1_ps(stretchShare);
    const __m128 most = _mm_set1_ps(kMostPairDistance), one = _mm_set1_ps(1.f),
                 quarter = _mm_set1_ps(0.25f);
    for (; i + 4 <= np; i += 4) {
        const __m128 px = _mm_loadu_ps(&probe.rowX[i]), py = _mm_loadu_ps(&probe.rowY[i]);
        const __m128 x = _mm_add_ps(_mm_sub_ps(_mm_mul_ps(c, px), _mm_mul_ps(s, py)), dx);
        const __m128 y = _mm_add_ps(_mm_add_ps(_mm_mul_ps(s, px), _mm_mul_ps(c, py)), dy);
        const __m128 fx = _mm_sub_ps(x, centreX), fy = _mm_sub_ps(y, centreY);
        const __m128 distance = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(fx, fx), _mm_mul_ps(fy, fy)));
        const __m128 tolerance = _mm_min_ps(_mm_add_ps(base, _mm_mul_ps(stretch, distance)), most);
        const __m128 top = _mm_mul_ps(_mm_sub_ps(_mm_sub_ps(y, tolerance), one), quarter);
        const __m128 bottom = _mm_mul_ps(_mm_add_ps(_mm_add_ps(y, tolerance), one), quarter);
        alignas(16) float xs[4], ys[4], ts[4], rs[4], tops[4], bottoms[4];
        _mm_store_ps(xs, x), _mm_store_ps(ys, y), _mm_store_ps(ts, tolerance);
        _mm_store_ps(rs, _mm_mul_ps(tolerance, tolerance));
        _mm_store_ps(tops, top), _mm_store_ps(bottoms, bottom);
        for (int k = 0; k < 4; ++k) {
            Placed& pl = out[i + k];
            pl = {xs[k], ys[k], ts[k], rs[k], probe.rowAngle[i + k] + t.units, 0, 0, 0};
            run(pl, tops[k], bottoms[k]);
        }
    }
#endif
    for (; i < np; ++i) {
        float x, y;
        t.apply(probe.rowX[i], probe.rowY[i], x, y);
        const float fx = x - cx, fy = y - cy;
        const float tolerance = std::min(
            baseTolerance + stretchShare * std::sqrt(fx * fx + fy * fy), kMostPairDistance);
        Placed& pl = out[i];
        pl = {x, y, tolerance, tolerance * tolerance, probe.rowAngle[i] + t.units, 0, 0, 0};
        run(pl, (y - tolerance - 1.f) * 0.25f, (y + tolerance + 1.f) * 0.25f);
    }
}

}  // namespace

int Pair(const PrintLayout& probe, const PrintLayout& ref, const Transform& t, float cx, float cy,
         float baseTolerance, float stretchShare, Scratch& scratch) {
    const std::size_t np = probe.points.size(), nr = ref.points.size();
    if (scratch.placed.size() < np) scratch.placed.resize(np);
    Placed* placed = scratch.placed.data();
    Place(probe, ref, t, cx, cy, baseTolerance, stretchShare, placed);
    // Every probe minutia has at most one link to each reference minutia.
    if (scratch.links.size() < np * nr) scratch.links.resize(np * nr);
    std::uint64_t* const links = scratch.links.data();
    std::uint64_t* end = links;
    const float* rx = ref.rowX.data();
    const float* ry = ref.rowY.data();
    auto link = [&](float d2, const Placed& pl, int i, std::size_t k) {
        const int da = AngleDiff(ref.rowAngle[k], pl.angle);
        if (da > kPairAngleTolerance) return;
        *end++ = LinkKey(std::sqrt(d2) / pl.tolerance + kPairAngleShare.v[da], i, ref.rowIndex[k]);
    };
    for (std::size_t i = 0; i < np; ++i) {
        const Placed& pl = placed[i];
        const int index = probe.rowIndex[i];
        std::size_t k = static_cast<std::size_t>(pl.first);
        const std::size_t last = static_cast<std::size_t>(pl.last);
#ifdef FP_MATCHER_SSE2
        // Eight at a time, distance and direction together; the padding lets
        // the last group run past the run (whatever lies there is checked
        // exactly like the rest), and most runs take one group.
        const __m128 x = _mm_set1_ps(pl.x), y = _mm_set1_ps(pl.y);
        const __m128 reach = _mm_set1_ps(pl.reach);
        const __m128i angle = _mm_set1_epi16(static_cast<short>(pl.angle & 255));
        const __m128i byteMask = _mm_set1_epi16(0xFF), turn = _mm_set1_epi16(256);
        const __m128i limit = _mm_set1_epi16(kPairAngleTolerance + 1);
        for (; k < last; k += 8) {
            const __m128 ex0 = _mm_sub_ps(_mm_loadu_ps(rx + k), x);
            const __m128 ey0 = _mm_sub_ps(_mm_loadu_ps(ry + k), y);
            const __m128 ex1 = _mm_sub_ps(_mm_loadu_ps(rx + k + 4), x);
            const __m128 ey1 = _mm_sub_ps(_mm_loadu_ps(ry + k + 4), y);
            const __m128 d20 = _mm_add_ps(_mm_mul_ps(ex0, ex0), _mm_mul_ps(ey0, ey0));
            const __m128 d21 = _mm_add_ps(_mm_mul_ps(ex1, ex1), _mm_mul_ps(ey1, ey1));
            const int close = _mm_movemask_ps(_mm_cmple_ps(d20, reach)) |
                              (_mm_movemask_ps(_mm_cmple_ps(d21, reach)) << 4);
            // AngleDiff of eight directions in 16-bit lanes.
            const __m128i angles = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(ref.rowAngle.data() + k)),
                _mm_setzero_si128());
            const __m128i d = _mm_and_si128(_mm_sub_epi16(angles, angle), byteMask);
            const __m128i folded = _mm_min_epi16(d, _mm_sub_epi16(turn, d));
            const int aligned = _mm_movemask_epi8(
                _mm_packs_epi16(_mm_cmpgt_epi16(limit, folded), _mm_setzero_si128()));
            int lanes = close & aligned;
            if (lanes == 0) continue;
            alignas(16) float distances[8];
            _mm_store_ps(distances, d20);
            _mm_store_ps(distances + 4, d21);
            for (; lanes != 0; lanes &= lanes - 1) {
                const int lane = std::countr_zero(static_cast<unsigned>(lanes));
                link(distances[lane], pl, index, k + static_cast<std::size_t>(lane));
            }
        }
#endif
        for (; k < last; ++k) {
            const float ex = rx[k] - pl.x, ey = ry[k] - pl.y;
            const float d2 = ex * ex + ey * ey;
            if (d2 > pl.reach) continue;
            link(d2, pl, index, k);
        }
    }
    std::sort(links, end);
    scratch.usedP.assign((np + 63) / 64, 0);
    scratch.usedR.assign((nr + 63) / 64, 0);
    std::uint64_t* usedP = scratch.usedP.data();
    std::uint64_t* usedR = scratch.usedR.data();
    scratch.pairs.clear();
    int matched = 0;
    for (const std::uint64_t* it = links; it != end; ++it) {
        const std::uint64_t l = *it;
        const int p = static_cast<int>((l >> 16) & 0xFFFF), r = static_cast<int>(l & 0xFFFF);
        const std::uint64_t pb = std::uint64_t{1} << (p & 63), rb = std::uint64_t{1} << (r & 63);
        if ((usedP[p >> 6] & pb) || (usedR[r >> 6] & rb)) continue;
        usedP[p >> 6] |= pb;
        usedR[r >> 6] |= rb;
        ++matched;
        scratch.pairs.push_back({p, r});
    }
    return matched;
}

namespace {

// Least-squares transform mapping the probe side of the pairs onto the
// reference side: rigid, and with enough pairs also scaled.
Transform Refit(const PrintLayout& probe, const PrintLayout& ref,
                const std::vector<std::pair<int, int>>& pairs) {
    float px = 0, py = 0, rx = 0, ry = 0;
    for (auto [i, j] : pairs) {
        px += probe.points[i].x, py += probe.points[i].y;
        rx += ref.points[j].x, ry += ref.points[j].y;
    }
    const float n = static_cast<float>(pairs.size());
    px /= n, py /= n, rx /= n, ry /= n;
    float sxx = 0, sxy = 0, saa = 0;
    for (auto [i, j] : pairs) {
        const float ax = probe.points[i].x - px, ay = probe.points[i].y - py;
        const float bx = ref.points[j].x - rx, by = ref.points[j].y - ry;
        sxx += ax * bx + ay * by;
        sxy += ax * by - ay * bx;
        saa += ax * ax + ay * ay;
    }
    Transform t;
    t.setAngle(std::atan2(sxy, sxx));
    if (pairs.size() >= kScaledRefitPairs && saa > 0) {
        const float k = std::clamp(std::sqrt(sxx * sxx + sxy * sxy) / saa, 1 / (1 + kMostRescale),
                                   1 + kMostRescale);
        t.scale = k, t.c *= k, t.s *= k;
    }
    t.dx = rx - (t.c * px - t.s * py);
    t.dy = ry - (t.s * px + t.c * py);
    return t;
}

}  // namespace

// The qualities of the minutiae of `from` that, moved by t, fall inside the
// foreground of `onto`, added up in row order.
float SeenWeight(const PrintLayout& from, const Transform& t, const PrintLayout& onto) {
    const std::size_t n = from.points.size();
    std::size_t i = 0;
    float weight = 0;
    const float* quality = from.rowQuality.data();
#ifdef FP_MATCHER_SSE2
    if (onto.insideShift >= 0 && onto.insideColumns < 0x8000) {
        const GridLookup grid(t, static_cast<float>(onto.width), static_cast<float>(onto.height),
                              onto.insideShift, onto.insideColumns);
        const std::uint8_t* inside = onto.inside.data();
        for (; i < n; i += 4) {
            alignas(16) std::int32_t at[4];
            int lanes = _mm_movemask_ps(grid.Cells(&from.rowX[i], &from.rowY[i], at));
            for (; lanes != 0; lanes &= lanes - 1) {
                const int lane = std::countr_zero(static_cast<unsigned>(lanes));
                if (inside[at[lane]]) weight += quality[i + static_cast<std::size_t>(lane)];
            }
        }
        return weight;
    }
#endif
    for (; i < n; ++i) {
        float x, y;
        t.apply(from.rowX[i], from.rowY[i], x, y);
        if (Inside(onto, x, y)) weight += quality[i];
    }
    return weight;
}

bool AlignSeed(const PrintLayout& probe, const PrintLayout& ref, const Seed& seed, int maxRotation,
               Scratch& scratch, Pairing& out) {
    const auto& sr = ref.points[seed.r];
    Transform t = FromPair(probe.points[seed.p], sr);
    int matched = Pair(probe, ref, t, sr.x, sr.y, kSeedPairDistance, kStretch, scratch);
    // A refit needs enough pairs to be steadier than the seed; with fewer,
    // the alignment stands as the seed gave it.
    const int turnLimit = maxRotation + kRefitRotationSlack;
    if (matched >= kRefitPairs) {
        const Transform refined = Refit(probe, ref, scratch.pairs);
        if (AngleDiff(refined.units, 0) <= turnLimit) {
            float cx = 0, cy = 0;
            for (auto [i, j] : scratch.pairs) cx += ref.points[j].x, cy += ref.points[j].y;
            cx /= static_cast<float>(scratch.pairs.size());
            cy /= static_cast<float>(scratch.pairs.size());
            std::swap(scratch.pairs, scratch.seedPairs);
            const int again =
                Pair(probe, ref, refined, cx, cy, kRefitPairDistance, kStretch, scratch);
            if (again >= matched) {
                matched = again, t = refined;
            } else {
                std::swap(scratch.pairs, scratch.seedPairs);
            }
        }
    }
    if (matched < kMinPairs || AngleDiff(t.units, 0) > turnLimit) return false;
    out.matched = matched;
    out.t = t;
    return true;
}

}  // namespace fp::detail
