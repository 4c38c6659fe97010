// Local neighbourhoods propose minutia pairs; each of the best pairs seeds a
// rigid alignment that is refined by least squares and scored by the share of
// minutiae that pair up inside the region both prints show.
#include "fp/Matcher.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <vector>

#include "MatcherInternal.h"

namespace fp {
namespace {

using namespace detail;

constexpr int kDefaultHypotheses = 10;
// The candidates compared neighbour by neighbour, per alignment tried.
constexpr std::size_t kShortlistFactor = 3;
// Pairs a seed's alignment needs before it is refitted by least squares.
constexpr int kRefitPairs = 5;

// Population count without a popcnt target: std::popcount would be a library
// call there.
inline int Bits(std::uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555u;
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((v * 0x0101010101010101u) >> 56);
}

// cos and sin of every angle in steps of pi/128, as the library computes them.
struct UnitTable {
    float c[256], s[256];
    UnitTable() {
        for (int u = 0; u < 256; ++u) {
            const float radians = static_cast<float>(u) * kUnitToRadians;
            c[u] = std::cos(radians);
            s[u] = std::sin(radians);
        }
    }
};
const UnitTable& Units() {
    static const UnitTable table;
    return table;
}

struct Transform {
    float c = 1, s = 0, dx = 0, dy = 0;
    float angle = 0;  // radians
    int units = 0;    // the same angle in steps of pi/128
    void apply(float x, float y, float& ox, float& oy) const {
        ox = c * x - s * y + dx;
        oy = s * x + c * y + dy;
    }
    void setAngle(float radians) {
        angle = radians;
        units = ToUnits(radians);
        c = std::cos(radians);
        s = std::sin(radians);
    }
    Transform inverse() const {
        // cos and sin of the negated angle, exactly as the library gives them.
        Transform t;
        t.angle = -angle;
        t.units = ToUnits(-angle);
        t.c = c;
        t.s = -s;
        t.dx = -(c * dx + s * dy);
        t.dy = -(-s * dx + c * dy);
        return t;
    }
};

Transform FromPair(const PreparedPrint::Point& p, const PreparedPrint::Point& r) {
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

constexpr int kBearingTolerance = 14;    // about 20 degrees
constexpr int kTurnTolerance = 18;       // about 25 degrees
constexpr int kPairAngleTolerance = 16;  // about 22 degrees
// A seed pair's direction difference is the rotation plus the direction errors
// of both minutiae; allow for those beyond the rotation limit.
constexpr int kSeedAngleSlack = 12;

// Share of the tolerance that an angle difference uses up, for every
// difference within it: a lookup instead of a division per candidate.
template <int kTolerance>
struct ShareTable {
    float v[kTolerance + 1];
    constexpr ShareTable() : v{} {
        for (int d = 0; d <= kTolerance; ++d) v[d] = static_cast<float>(d) / kTolerance;
    }
};
constexpr ShareTable<kBearingTolerance> kBearingShare;
constexpr ShareTable<kTurnTolerance> kTurnShare;
constexpr ShareTable<kPairAngleTolerance> kPairAngleShare;

#ifndef FP_MATCHER_SSE2
// Similarity of two neighbourhoods in 0..1: the share of neighbours that agree
// in distance, bearing and relative direction. Each neighbour of a, nearest
// first, takes the cheapest free neighbour of b within the tolerances (the
// first of equal ones).
float LocalSimilarity(const PreparedPrint::Neighbourhood& na,
                      const PreparedPrint::Neighbourhood& nb) {
    const int ka = na.count, kb = nb.count;
    if (ka < 2 || kb < 2) return 0;
    unsigned used = 0;
    float sum = 0;
    // Both lists run nearest first and the lower end of the window grows with
    // the distance, so neighbours of b well below it stay below it (the margin
    // covers rounding).
    int first = 0;
    for (int u = 0; u < ka; ++u) {
        const float du = na.distance[u];
        const float tolerance = 6.f + 0.08f * du;
        const float low = du - tolerance, high = du + tolerance;
        while (first < kb && nb.distance[first] < low - 0.01f) ++first;
        int best = -1;
        float bestCost = 1.f;
        for (int v = first; v < kb; ++v) {
            const float dv = nb.distance[v];
            if (dv > high) break;
            if ((used >> v & 1) || dv < low) continue;
            const int db = AngleDiff(na.bearing[u], nb.bearing[v]);
            const int dt = AngleDiff(na.turn[u], nb.turn[v]);
            if (db > kBearingTolerance || dt > kTurnTolerance) continue;
            const float cost =
                (std::fabs(du - dv) / tolerance + kBearingShare.v[db] + kTurnShare.v[dt]) / 3;
            if (cost < bestCost) bestCost = cost, best = v;
        }
        if (best >= 0) {
            used |= 1u << best;
            sum += 1.f - 0.5f * bestCost;
        }
    }
    return sum / static_cast<float>(std::max(ka, kb));
}
#else
// Similarity of two neighbourhoods in 0..1: the share of neighbours that agree
// in distance, bearing and relative direction. Each neighbour of a, nearest
// first, takes the cheapest free neighbour of b within the tolerances (the
// first of equal ones). The tolerances are checked for the eight neighbours
// of b at once, and only those within get a cost, with the arithmetic of the
// plain version, so the result is the same.
float LocalSimilarity(const PreparedPrint::Neighbourhood& na,
                      const PreparedPrint::Neighbourhood& nb) {
    static_assert(PreparedPrint::kNeighbours == 8);
    static_assert(offsetof(PreparedPrint::Neighbourhood, turn) ==
                  offsetof(PreparedPrint::Neighbourhood, bearing) + 8);
    static_assert(kBearingTolerance == 0x0E && kTurnTolerance == 0x12);
    const int ka = na.count, kb = nb.count;
    if (ka < 2 || kb < 2) return 0;
    const __m128 dv0 = _mm_loadu_ps(nb.distance), dv1 = _mm_loadu_ps(nb.distance + 4);
    // Bearings in bytes 0..7, directions in bytes 8..15.
    const __m128i anglesB = _mm_loadu_si128(reinterpret_cast<const __m128i*>(nb.bearing));
    const __m128i tolerances = _mm_set_epi64x(0x1212121212121212, 0x0E0E0E0E0E0E0E0E);
    const __m128i zero = _mm_setzero_si128();
    // Lanes of b that exist and are still free.
    unsigned freeLanes = (1u << kb) - 1;
    float sum = 0;
    for (int u = 0; u < ka; ++u) {
        // Angle differences of all eight, folded to 0..128, and within tolerance.
        const __m128i anglesA = _mm_unpacklo_epi64(_mm_set1_epi8(static_cast<char>(na.bearing[u])),
                                                   _mm_set1_epi8(static_cast<char>(na.turn[u])));
        const __m128i diff = _mm_sub_epi8(anglesB, anglesA);
        const __m128i folded = _mm_min_epu8(diff, _mm_sub_epi8(zero, diff));
        const __m128i within = _mm_cmpeq_epi8(_mm_min_epu8(folded, tolerances), folded);
        const unsigned angleOk = static_cast<unsigned>(_mm_movemask_epi8(within));
        unsigned lanes = freeLanes & angleOk & (angleOk >> 8);
        if (lanes == 0) continue;
        const float du = na.distance[u];
        const float tolerance = 6.f + 0.08f * du;
        const __m128 low = _mm_set1_ps(du - tolerance), high = _mm_set1_ps(du + tolerance);
        const unsigned inWindow =
            static_cast<unsigned>(
                _mm_movemask_ps(_mm_and_ps(_mm_cmpge_ps(dv0, low), _mm_cmple_ps(dv0, high)))) |
            static_cast<unsigned>(
                _mm_movemask_ps(_mm_and_ps(_mm_cmpge_ps(dv1, low), _mm_cmple_ps(dv1, high))))
                << 4;
        lanes &= inWindow;
        if (lanes == 0) continue;
        alignas(16) std::uint8_t differences[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(differences), folded);
        int best = -1;
        float bestCost = 1.f;
        for (; lanes != 0; lanes &= lanes - 1) {
            const int v = std::countr_zero(lanes);
            const float cost =
                (std::fabs(du - nb.distance[v]) / tolerance + kBearingShare.v[differences[v]] +
                 kTurnShare.v[differences[8 + v]]) /
                3;
            if (cost < bestCost) bestCost = cost, best = v;
        }
        if (best >= 0) {
            freeLanes &= ~(1u << best);
            sum += 1.f - 0.5f * bestCost;
        }
    }
    return sum / static_cast<float>(std::max(ka, kb));
}
#endif

// Whether a position falls inside a print's foreground.
inline bool Inside(const PreparedPrint& p, float x, float y) {
    if (!(x >= 0 && y >= 0 && x < static_cast<float>(p.width) && y < static_cast<float>(p.height)))
        return false;
    const int xi = static_cast<int>(x), yi = static_cast<int>(y);
    // The extractor's 16-pixel cells: a shift rather than a division.
    const int column = p.insideShift >= 0 ? xi >> p.insideShift : xi / p.insideCell;
    const int row = p.insideShift >= 0 ? yi >> p.insideShift : yi / p.insideCell;
    return p.inside[static_cast<std::size_t>(row) * p.insideColumns + column] != 0;
}

// How many minutiae of `from`, moved by t, fall inside the foreground of
// `onto` (visited in y order, which makes no difference to a count).
int CountInside(const PreparedPrint& from, const Transform& t, const PreparedPrint& onto) {
    const std::size_t n = from.points.size();
    std::size_t i = 0;
    int count = 0;
#ifdef FP_MATCHER_SSE2
    if (onto.insideShift >= 0 && onto.insideColumns < 0x8000) {
        const __m128 c = _mm_set1_ps(t.c), s = _mm_set1_ps(t.s);
        const __m128 dx = _mm_set1_ps(t.dx), dy = _mm_set1_ps(t.dy);
        const __m128 zero = _mm_setzero_ps();
        const __m128 right = _mm_set1_ps(static_cast<float>(onto.width));
        const __m128 bottom = _mm_set1_ps(static_cast<float>(onto.height));
        const __m128i shift = _mm_cvtsi32_si128(onto.insideShift);
        const __m128i rowStep = _mm_set1_epi32((1 << 16) | onto.insideColumns);
        const std::uint8_t* inside = onto.inside.data();
        for (; i < n; i += 4) {
            const __m128 px = _mm_loadu_ps(&from.rowX[i]), py = _mm_loadu_ps(&from.rowY[i]);
            const __m128 x = _mm_add_ps(_mm_sub_ps(_mm_mul_ps(c, px), _mm_mul_ps(s, py)), dx);
            const __m128 y = _mm_add_ps(_mm_add_ps(_mm_mul_ps(s, px), _mm_mul_ps(c, py)), dy);
            const __m128 within =
                _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(x, zero), _mm_cmplt_ps(x, right)),
                           _mm_and_ps(_mm_cmpge_ps(y, zero), _mm_cmplt_ps(y, bottom)));
            int lanes = _mm_movemask_ps(within);
            if (lanes == 0) continue;
            const __m128i column = _mm_sra_epi32(_mm_cvttps_epi32(_mm_and_ps(x, within)), shift);
            const __m128i row = _mm_sra_epi32(_mm_cvttps_epi32(_mm_and_ps(y, within)), shift);
            const __m128i index =
                _mm_madd_epi16(_mm_or_si128(row, _mm_slli_epi32(column, 16)), rowStep);
            alignas(16) std::int32_t at[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(at), index);
            for (; lanes != 0; lanes &= lanes - 1)
                count += inside[at[std::countr_zero(static_cast<unsigned>(lanes))]];
        }
        return count;
    }
#endif
    for (; i < n; ++i) {
        float x, y;
        t.apply(from.points[i].x, from.points[i].y, x, y);
        count += Inside(onto, x, y);
    }
    return count;
}

// Mean cos(2 x angle difference) of the ridge orientation over the cells both
// prints show after alignment: near 1 when the ridge flow agrees, near 0 for
// unrelated flow. `cells` counts the overlap. With A twice the reference
// cell's angle less the rotation and B twice the probe cell's, cos(A - B) =
// cos A cos B + sin A sin B; background cells of the probe add 0 and count 0.
float OrientationAgreement(const PreparedPrint& probe, const PreparedPrint& ref, const Transform& t,
                           int& cells) {
    cells = 0;
    const OrientationGrid& po = probe.orientation;
    const OrientationGrid& ro = ref.orientation;
    if (po.columns == 0 || ro.columns == 0 || probe.flowGrid.empty()) return 0;
    const Transform inverse = t.inverse();
    const float cr = std::cos(2 * t.angle), sr = std::sin(2 * t.angle);
    // Cells are 16 or 32 pixels in practice: a shift instead of a division.
    const int cell = po.cell;
    const int shift = std::has_single_bit(static_cast<unsigned>(cell))
                          ? std::countr_zero(static_cast<unsigned>(cell))
                          : -1;
    const float* grid = probe.flowGrid.data();
    const std::size_t n = ref.flowCells;
#ifdef FP_MATCHER_SSE2
    if (shift >= 0 && po.columns < 0x8000 && po.rows < 0x8000) {
        // Four cells at a time: a cell counts when it lands inside the
        // probe's grid, that is 0 <= x < columns x cell (and so for y). Four
        // partial sums, added up at the end.
        const __m128 c = _mm_set1_ps(inverse.c), s = _mm_set1_ps(inverse.s);
        const __m128 dx = _mm_set1_ps(inverse.dx), dy = _mm_set1_ps(inverse.dy);
        const __m128 zero = _mm_setzero_ps();
        const __m128 right = _mm_set1_ps(static_cast<float>(po.columns * cell));
        const __m128 bottom = _mm_set1_ps(static_cast<float>(po.rows * cell));
        const __m128 cosine = _mm_set1_ps(cr), sine = _mm_set1_ps(sr);
        const __m128i count = _mm_cvtsi32_si128(shift);
        const __m128i rowStep = _mm_set1_epi32((1 << 16) | po.columns);
        __m128 sums = _mm_setzero_ps(), counts = _mm_setzero_ps();
        for (std::size_t k = 0; k < n; k += 4) {
            const __m128 fx = _mm_loadu_ps(&ref.flowX[k]), fy = _mm_loadu_ps(&ref.flowY[k]);
            const __m128 x = _mm_add_ps(_mm_sub_ps(_mm_mul_ps(c, fx), _mm_mul_ps(s, fy)), dx);
            const __m128 y = _mm_add_ps(_mm_add_ps(_mm_mul_ps(s, fx), _mm_mul_ps(c, fy)), dy);
            const __m128 inside =
                _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(x, zero), _mm_cmplt_ps(x, right)),
                           _mm_and_ps(_mm_cmpge_ps(y, zero), _mm_cmplt_ps(y, bottom)));
            if (_mm_movemask_ps(inside) == 0) continue;
            const __m128i column = _mm_sra_epi32(_mm_cvttps_epi32(_mm_and_ps(x, inside)), count);
            const __m128i row = _mm_sra_epi32(_mm_cvttps_epi32(_mm_and_ps(y, inside)), count);
            // row x columns + column in one multiply-add of 16-bit halves
            // (cells outside read cell 0, and are dropped below).
            const __m128i index =
                _mm_madd_epi16(_mm_or_si128(row, _mm_slli_epi32(column, 16)), rowStep);
            alignas(16) std::int32_t at[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(at), index);
            // The four probe cells, turned into a vector of cosines, one of
            // sines and one of counts.
            __m128 cb = _mm_loadu_ps(grid + 4 * at[0]), sb = _mm_loadu_ps(grid + 4 * at[1]);
            __m128 fore = _mm_loadu_ps(grid + 4 * at[2]), unused = _mm_loadu_ps(grid + 4 * at[3]);
            _MM_TRANSPOSE4_PS(cb, sb, fore, unused);
            const __m128 ca = _mm_loadu_ps(&ref.flowCos[k]), sa = _mm_loadu_ps(&ref.flowSin[k]);
            const __m128 cosA = _mm_add_ps(_mm_mul_ps(ca, cosine), _mm_mul_ps(sa, sine));
            const __m128 sinA = _mm_sub_ps(_mm_mul_ps(sa, cosine), _mm_mul_ps(ca, sine));
            const __m128 agreement = _mm_add_ps(_mm_mul_ps(cosA, cb), _mm_mul_ps(sinA, sb));
            sums = _mm_add_ps(sums, _mm_and_ps(agreement, inside));
            counts = _mm_add_ps(counts, _mm_and_ps(fore, inside));
        }
        alignas(16) float partial[4], partialCount[4];
        _mm_store_ps(partial, sums);
        _mm_store_ps(partialCount, counts);
        const float sum = (partial[0] + partial[1]) + (partial[2] + partial[3]);
        cells = static_cast<int>((partialCount[0] + partialCount[1]) +
                                 (partialCount[2] + partialCount[3]));
        return cells > 0 ? sum / cells : 0;
    }
#endif
    // Four partial sums, cell k in sum k mod 4, as the vector path adds them.
    float sums[4] = {};
    for (std::size_t k = 0; k < n; ++k) {
        float x, y;
        inverse.apply(ref.flowX[k], ref.flowY[k], x, y);
        if (!(x >= 0 && y >= 0)) continue;
        const int xi = static_cast<int>(x), yi = static_cast<int>(y);
        const int column = shift >= 0 ? xi >> shift : xi / cell;
        const int row = shift >= 0 ? yi >> shift : yi / cell;
        if (column >= po.columns || row >= po.rows) continue;
        const float* b = grid + 4 * (static_cast<std::size_t>(row) * po.columns + column);
        const float ca = ref.flowCos[k], sa = ref.flowSin[k];
        const float cosA = ca * cr + sa * sr;
        const float sinA = sa * cr - ca * sr;
        sums[k & 3] += cosA * b[0] + sinA * b[1];
        cells += b[2] != 0.f;
    }
    const float sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    return cells > 0 ? sum / cells : 0;
}

// Flow agreement of unrelated prints aligned by chance sits around 0.7, that
// of impressions of one finger above 0.9.
constexpr float kFlowUnrelated = 0.6f, kFlowAgrees = 0.95f;
constexpr int kMinFlowCells = 8;

// Candidate pairs are 64-bit keys that order best first: the shared occupancy
// bits, then the probe minutia, then the reference minutia (minutiae come best
// quality first, so ties go to the better minutiae, and never to chance).
inline int KeyProbe(std::uint64_t key) {
    return 0xFFFF - static_cast<int>((key >> 16) & 0xFFFF);
}
inline int KeyReference(std::uint64_t key) {
    return 0xFFFF - static_cast<int>(key & 0xFFFF);
}

struct Seed {
    float similarity;
    int p, r;
    std::uint64_t key;  // its place in the candidate order, the tie-break
};

// A pairing link as one sortable number: the cost's bits (non-negative floats
// order as their bit patterns), then the probe and reference minutiae.
inline std::uint64_t LinkKey(float cost, int p, int r) {
    return (static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(cost)) << 32) |
           (static_cast<std::uint64_t>(p) << 16) | static_cast<std::uint64_t>(r);
}

// An alignment that passed, waiting for its ridge-flow check.
struct Alignment {
    double similarity;  // before the flow check, an upper bound of the final one
    Transform t;
    int matched;
    int order;
};

// A probe minutia moved by an alignment: where it lands, its direction there,
// how far a partner may lie, and the run of reference minutiae (ordered by
// y) close enough in y to be one.
struct Placed {
    float x, y, tolerance, reach;
    int angle, first, last, pad;
};

// Buffers reused by every comparison on one thread.
struct Scratch {
    std::vector<Placed> placed;
    std::vector<std::uint64_t> candidates, ties;
    std::vector<Seed> seeds;
    std::vector<std::uint64_t> links;
    std::vector<std::uint64_t> usedP, usedR;  // bit sets
    std::vector<std::pair<int, int>> pairs;
    std::vector<std::uint8_t> covered;
    std::vector<Alignment> alignments;
};

struct Pairing {
    int matched = 0;
    float weight = 0;
};

// Moves the probe minutiae by t and works out how far each may pair: skin
// stretches, so more play far from the alignment centre (cx, cy). They are
// taken in row order (`index` says which minutia each is).
void Place(const PreparedPrint& probe, const PreparedPrint& ref, const Transform& t, float cx,
           float cy, float baseTolerance, Placed* out) {
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
    const __m128 base = _mm_set1_ps(baseTolerance), stretch = _mm_set1_ps(0.05f);
    const __m128 most = _mm_set1_ps(18.f), one = _mm_set1_ps(1.f), quarter = _mm_set1_ps(0.25f);
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
        const float tolerance =
            std::min(baseTolerance + 0.05f * std::sqrt(fx * fx + fy * fy), 18.f);
        Placed& pl = out[i];
        pl = {x, y, tolerance, tolerance * tolerance, probe.rowAngle[i] + t.units, 0, 0, 0};
        run(pl, (y - tolerance - 1.f) * 0.25f, (y + tolerance + 1.f) * 0.25f);
    }
}

// Greedy one-to-one pairing of the transformed probe with the reference,
// cheapest links first; the pairs are left in scratch.pairs.
Pairing Pair(const PreparedPrint& probe, const PreparedPrint& ref, const Transform& t, float cx,
             float cy, float baseTolerance, Scratch& scratch) {
    const std::size_t np = probe.points.size(), nr = ref.points.size();
    if (scratch.placed.size() < np) scratch.placed.resize(np);
    Placed* placed = scratch.placed.data();
    Place(probe, ref, t, cx, cy, baseTolerance, placed);
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
    Pairing out;
    for (const std::uint64_t* it = links; it != end; ++it) {
        const std::uint64_t l = *it;
        const int p = static_cast<int>((l >> 16) & 0xFFFF), r = static_cast<int>(l & 0xFFFF);
        const std::uint64_t pb = std::uint64_t{1} << (p & 63), rb = std::uint64_t{1} << (r & 63);
        if ((usedP[p >> 6] & pb) || (usedR[r >> 6] & rb)) continue;
        usedP[p >> 6] |= pb;
        usedR[r >> 6] |= rb;
        ++out.matched;
        const float cost = std::bit_cast<float>(static_cast<std::uint32_t>(l >> 32));
        out.weight +=
            (1.f - 0.5f * cost) * std::sqrt(probe.points[p].quality * ref.points[r].quality);
        scratch.pairs.push_back({p, r});
    }
    return out;
}

// Least-squares rigid transform mapping the probe side of the pairs onto the reference side.
Transform Refit(const PreparedPrint& probe, const PreparedPrint& ref,
                const std::vector<std::pair<int, int>>& pairs) {
    float px = 0, py = 0, rx = 0, ry = 0;
    for (auto [i, j] : pairs) {
        px += probe.points[i].x, py += probe.points[i].y;
        rx += ref.points[j].x, ry += ref.points[j].y;
    }
    const float n = static_cast<float>(pairs.size());
    px /= n, py /= n, rx /= n, ry /= n;
    float sxx = 0, sxy = 0;
    for (auto [i, j] : pairs) {
        const float ax = probe.points[i].x - px, ay = probe.points[i].y - py;
        const float bx = ref.points[j].x - rx, by = ref.points[j].y - ry;
        sxx += ax * bx + ay * by;
        sxy += ax * by - ay * bx;
    }
    Transform t;
    t.setAngle(std::atan2(sxy, sxx));
    t.dx = rx - (t.c * px - t.s * py);
    t.dy = ry - (t.s * px + t.c * py);
    return t;
}

// The candidate search: every probe minutia against the reference minutiae
// within the rotation limit of its direction, with the number of occupancy
// bits they share. Pairs sharing at least two go to `keys` (room for all
// pairs); returns how many.
template <int (*Popcount)(std::uint64_t)>
FP_ALWAYS_INLINE std::size_t ScanCandidates(const PreparedPrint& probe, const PreparedPrint& ref,
                                            int limit, std::uint64_t* keys) {
    const std::size_t np = probe.points.size();
    const int nr = static_cast<int>(ref.points.size());
    const std::uint64_t* cells = ref.sortedCells.data();
    const std::uint64_t* low = ref.sortedKeys.data();
    const std::uint16_t* first = ref.firstAtLeast.data();
    std::size_t count = 0;
    for (std::size_t i = 0; i < np; ++i) {
        const std::uint64_t a0 = probe.spreadCells[2 * i], a1 = probe.spreadCells[2 * i + 1];
        const std::uint64_t probeKey = static_cast<std::uint64_t>(0xFFFF - i) << 16;
        // Directions within the limit form one run of the sorted reference,
        // or two where it wraps round.
        int from[2] = {0, 0}, to[2] = {nr, 0};
        if (limit < 128) {
            const int a = probe.points[i].angle, lo = a - limit, hi = a + limit;
            if (lo < 0) {
                to[0] = first[hi + 1], from[1] = first[lo + 256], to[1] = nr;
            } else if (hi > 255) {
                from[0] = first[lo], from[1] = 0, to[1] = first[hi - 255];
            } else {
                from[0] = first[lo], to[0] = first[hi + 1];
            }
        }
        for (int run = 0; run < 2; ++run)
            for (int k = from[run]; k < to[run]; ++k) {
                const int common = Popcount(a0 & cells[2 * k]) + Popcount(a1 & cells[2 * k + 1]);
                keys[count] = (static_cast<std::uint64_t>(common) << 32) | probeKey | low[k];
                count += common >= 2;
            }
    }
    return count;
}

int PortablePopcount(std::uint64_t v) {
    return Bits(v);
}

using ScanFunction = std::size_t (*)(const PreparedPrint&, const PreparedPrint&, int,
                                     std::uint64_t*);

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(FP_MATCHER_PORTABLE)
std::size_t ScanPortable(const PreparedPrint& probe, const PreparedPrint& ref, int limit,
                         std::uint64_t* keys) {
    return ScanCandidates<PortablePopcount>(probe, ref, limit, keys);
}

// The baseline x86-64 target has no popcnt instruction; nearly every processor
// since 2008 has, so a second copy of the search uses it where present.
// Inlined into that copy only, where the builtin becomes the instruction.
FP_ALWAYS_INLINE int HardwarePopcount(std::uint64_t v) {
    return __builtin_popcountll(v);
}

[[gnu::target("popcnt")]] std::size_t ScanPopcnt(const PreparedPrint& probe,
                                                 const PreparedPrint& ref, int limit,
                                                 std::uint64_t* keys) {
    return ScanCandidates<HardwarePopcount>(probe, ref, limit, keys);
}

ScanFunction ChooseScan() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") ? ScanPopcnt : ScanPortable;
}
#elif defined(FP_MATCHER_PORTABLE)
std::size_t ScanNative(const PreparedPrint& probe, const PreparedPrint& ref, int limit,
                       std::uint64_t* keys) {
    return ScanCandidates<PortablePopcount>(probe, ref, limit, keys);
}

ScanFunction ChooseScan() {
    return ScanNative;
}
#else
// Elsewhere std::popcount is the instruction, or the compiler's best.
int NativePopcount(std::uint64_t v) {
    return std::popcount(v);
}

std::size_t ScanNative(const PreparedPrint& probe, const PreparedPrint& ref, int limit,
                       std::uint64_t* keys) {
    return ScanCandidates<NativePopcount>(probe, ref, limit, keys);
}

ScanFunction ChooseScan() {
    return ScanNative;
}
#endif

// Chosen once, by what the processor offers.
std::size_t Scan(const PreparedPrint& probe, const PreparedPrint& ref, int limit,
                 std::uint64_t* keys) {
    static const ScanFunction chosen = ChooseScan();
    return chosen(probe, ref, limit, keys);
}

// -log10(false match rate) against similarity: the impostor distribution of
// the 2880 impostor pairs of FVC2002 DB1_B (fingerprint/README.md), measured
// down to a rate of 2e-3. Beyond that the tail is extended linearly in the
// square root of the similarity, which is the more cautious of the fits that
// match the measured tail.
struct CalibrationPoint {
    double similarity, minusLogFmr;
};
constexpr CalibrationPoint kCalibration[] = {
    {0.0000, 0.0}, {0.0043, 0.7}, {0.0079, 1.0}, {0.0125, 1.3},
    {0.0181, 1.7}, {0.0233, 2.0}, {0.0274, 2.3}, {0.0305, 2.7},
};
constexpr double kTailSlope = 17.0;  // decades per unit of sqrt(similarity), as measured

}  // namespace

int ScoreFromSimilarity(double similarity) {
    if (!(similarity > 0)) return 0;
    constexpr std::size_t n = std::size(kCalibration);
    const CalibrationPoint& last = kCalibration[n - 1];
    double minusLog;
    if (similarity >= last.similarity) {
        minusLog =
            last.minusLogFmr + kTailSlope * (std::sqrt(similarity) - std::sqrt(last.similarity));
    } else {
        std::size_t k = 1;
        while (kCalibration[k].similarity < similarity) ++k;
        const CalibrationPoint& a = kCalibration[k - 1];
        const CalibrationPoint& b = kCalibration[k];
        minusLog = a.minusLogFmr + (similarity - a.similarity) * (b.minusLogFmr - a.minusLogFmr) /
                                       (b.similarity - a.similarity);
    }
    return static_cast<int>(std::clamp(std::lround(12 * minusLog), 0L, 100000L));
}

Comparison Compare(const PreparedPrint& probe, const PreparedPrint& ref,
                   const MatcherSettings& settings) {
    Comparison best;
    const std::size_t np = probe.points.size(), nr = ref.points.size();
    if (np < 3 || nr < 3 || probe.spreadCells.size() != np * PreparedPrint::kCellWords ||
        ref.sortedCells.size() != nr * PreparedPrint::kCellWords)
        return best;
    const int maxRotation = std::clamp(settings.maxRotation, 0, 128);

    // Buffers kept per thread so that one-to-many identification does not
    // allocate per reference.
    thread_local Scratch scratch;
    const std::size_t wanted = settings.hypotheses > 0 ? settings.hypotheses : kDefaultHypotheses;

    // Occupancy overlap first, the full neighbourhood comparison for the best of those.
    if (scratch.candidates.size() < np * nr) scratch.candidates.resize(np * nr);
    std::uint64_t* keys = scratch.candidates.data();
    const std::size_t found = Scan(probe, ref, maxRotation + kSeedAngleSlack, keys);
    const std::size_t shortlist = std::min(found, kShortlistFactor * wanted);
    if (found > shortlist) {
        int histogram[129] = {};
        for (std::size_t k = 0; k < found; ++k) ++histogram[keys[k] >> 32];
        // The fewest shared bits that still make the shortlist: all with more
        // are in, and those with exactly as many fill the rest in key order.
        int least = 128;
        std::size_t above = 0;
        while (above + static_cast<std::size_t>(histogram[least]) < shortlist)
            above += static_cast<std::size_t>(histogram[least--]);
        const std::uint64_t floor = static_cast<std::uint64_t>(least) << 32;
        const std::uint64_t ceiling = static_cast<std::uint64_t>(least + 1) << 32;
        if (scratch.ties.size() < found) scratch.ties.resize(found);
        std::uint64_t* ties = scratch.ties.data();
        std::size_t kept = 0, tied = 0;
        for (std::size_t k = 0; k < found; ++k) {
            const std::uint64_t key = keys[k];
            keys[kept] = key;
            kept += key >= ceiling;
            ties[tied] = key;
            tied += key >= floor && key < ceiling;
        }
        // The search runs through the probe minutiae in order, so the ties
        // are in key order except within one probe minutia: all ties of the
        // probe minutiae before the last one needed are in, and of that
        // one's, the best.
        const std::size_t need = shortlist - kept;
        const int lastProbe = KeyProbe(ties[need - 1]);
        std::size_t from = need - 1, to = need;
        while (from > 0 && KeyProbe(ties[from - 1]) == lastProbe) --from;
        while (to < tied && KeyProbe(ties[to]) == lastProbe) ++to;
        std::sort(ties + from, ties + to, std::greater<>());
        std::copy(ties, ties + need, keys + kept);
    }
    auto& seeds = scratch.seeds;
    seeds.clear();
    for (std::size_t k = 0; k < shortlist; ++k) {
        const int p = KeyProbe(keys[k]), r = KeyReference(keys[k]);
        const float similarity = LocalSimilarity(probe.neighbourhoods[p], ref.neighbourhoods[r]);
        if (similarity > 0.2f) seeds.push_back({similarity, p, r, keys[k]});
    }
    const std::size_t hypotheses = std::min(seeds.size(), wanted);
    std::partial_sort(seeds.begin(), seeds.begin() + hypotheses, seeds.end(),
                      [](const Seed& a, const Seed& b) {
                          if (a.similarity != b.similarity) return a.similarity > b.similarity;
                          return a.key > b.key;
                      });

    // With a threshold, what cannot reach it is left out: such a comparison
    // reports less than it would without one, but below the threshold
    // either way; scores that reach it are the same.
    const int threshold = settings.threshold;
    auto reaches = [threshold](double similarity) {
        return threshold <= 0 || ScoreFromSimilarity(similarity) >= threshold;
    };

    // A seed already paired under an earlier alignment would only repeat it.
    auto& covered = scratch.covered;
    covered.assign(np * nr, 0);
    auto& alignments = scratch.alignments;
    alignments.clear();
    for (std::size_t h = 0; h < hypotheses; ++h) {
        if (covered[static_cast<std::size_t>(seeds[h].p) * nr + seeds[h].r]) continue;
        const auto& sr = ref.points[seeds[h].r];
        Transform t = FromPair(probe.points[seeds[h].p], sr);
        Pairing pairing = Pair(probe, ref, t, sr.x, sr.y, 10.f, scratch);
        // A refit needs enough pairs to be steadier than the seed; with fewer,
        // the alignment stands as the seed gave it.
        if (pairing.matched >= kRefitPairs) {
            const Transform refined = Refit(probe, ref, scratch.pairs);
            if (AngleDiff(refined.units, 0) <= maxRotation + 8) {
                float cx = 0, cy = 0;
                for (auto [i, j] : scratch.pairs) cx += ref.points[j].x, cy += ref.points[j].y;
                cx /= scratch.pairs.size(), cy /= scratch.pairs.size();
                const Pairing again = Pair(probe, ref, refined, cx, cy, 8.f, scratch);
                if (again.matched >= pairing.matched) pairing = again, t = refined;
            }
        }
        if (pairing.matched < 2 || AngleDiff(t.units, 0) > maxRotation + 8) continue;
        for (auto [i, j] : scratch.pairs) covered[static_cast<std::size_t>(i) * nr + j] = 1;

        // Only minutiae that the other print could have shown count against
        // a match, at least kFloor of each print: so the similarity is at
        // most m^2 / kFloor^2.
        constexpr float kFloor = 12.f;
        const float bound = static_cast<float>(pairing.matched);
        if (!reaches(bound * bound / (kFloor * kFloor))) continue;
        float m = 0;
        for (auto [i, j] : scratch.pairs)
            m += LocalSimilarity(probe.neighbourhoods[i], ref.neighbourhoods[j]);
        const int seenP = CountInside(probe, t, ref);
        const int seenR = CountInside(ref, t.inverse(), probe);
        const double similarity =
            m * m / (std::max<float>(seenP, kFloor) * std::max<float>(seenR, kFloor));
        alignments.push_back({similarity, t, pairing.matched, static_cast<int>(alignments.size())});
    }

    // The ridge-flow check can only lower a similarity, so the alignments are
    // checked from the most similar down, until none left can beat the best.
    // Chance alignments of different fingers pair some minutiae but rarely
    // align the ridge flow around them.
    std::sort(alignments.begin(), alignments.end(), [](const Alignment& a, const Alignment& b) {
        if (a.similarity != b.similarity) return a.similarity > b.similarity;
        return a.order < b.order;
    });
    int bestOrder = 0;
    for (const Alignment& a : alignments) {
        if (a.similarity < best.similarity || !reaches(a.similarity)) break;
        if (a.similarity == best.similarity && a.order > bestOrder) continue;
        int cells = 0;
        const float agreement = OrientationAgreement(probe, ref, a.t, cells);
        double similarity = a.similarity;
        if (cells >= kMinFlowCells) {
            const float f = std::clamp(
                (agreement - kFlowUnrelated) / (kFlowAgrees - kFlowUnrelated), 0.05f, 1.f);
            similarity *= f;
        }
        if (similarity > best.similarity ||
            (similarity == best.similarity && a.order < bestOrder)) {
            best.similarity = similarity;
            best.agreement = agreement;
            best.matched = a.matched;
            best.rotation = a.t.angle;
            best.dx = a.t.dx;
            best.dy = a.t.dy;
            bestOrder = a.order;
        }
    }
    best.score = ScoreFromSimilarity(best.similarity);
    return best;
}

TemplateError Matcher::IdentifyStart(const std::uint8_t* probe, std::size_t size) {
    const TemplateError error = DecodeTemplate(probe, size, decoded_);
    if (error != TemplateError::None) {
        identifying_ = false;
        return error;
    }
    IdentifyStart(decoded_);
    return TemplateError::None;
}

void Matcher::IdentifyStart(const Features& probe) {
    PrepareInto(probe, true, probe_);
    last_ = {};
    identifying_ = true;
}

namespace {

// Length and stored checksum of what looks like a template; false when the
// bytes cannot be one (the decoder then says why).
bool TemplateKey(const std::uint8_t* data, std::size_t size, std::size_t& length,
                 std::uint32_t& crc) {
    constexpr std::size_t kHeader = 20, kChecksum = 4;
    if (data == nullptr || size < kHeader + kChecksum) return false;
    length = static_cast<std::size_t>(data[6] | (data[7] << 8));
    if (length < kHeader + kChecksum || length > size) return false;
    const std::uint8_t* c = data + length - kChecksum;
    crc = static_cast<std::uint32_t>(c[0]) | (static_cast<std::uint32_t>(c[1]) << 8) |
          (static_cast<std::uint32_t>(c[2]) << 16) | (static_cast<std::uint32_t>(c[3]) << 24);
    return true;
}

}  // namespace

const PreparedPrint* Matcher::Lookup(const std::uint8_t* reference, std::size_t size) {
    std::size_t length = 0;
    std::uint32_t crc = 0;
    if (!TemplateKey(reference, size, length, crc)) return nullptr;
    const auto it = cache_.find(crc);
    if (it == cache_.end()) return nullptr;
    // Only identical bytes are a hit, so a damaged copy of a cached template
    // still goes through the decoder's checks.
    const auto& bytes = it->second.bytes;
    if (bytes.size() != length || std::memcmp(bytes.data(), reference, length) != 0) return nullptr;
    recency_.splice(recency_.begin(), recency_, it->second.recency);
    return &it->second.print;
}

// A new entry for bytes that decoded into decoded_; the least recently used
// entry makes room when the cache is full, and its buffers are reused.
PreparedPrint& Matcher::Remember(const std::uint8_t* reference, std::size_t size) {
    std::size_t length = 0;
    std::uint32_t crc = 0;
    TemplateKey(reference, size, length, crc);
    const std::size_t capacity = static_cast<std::size_t>(settings_.cachedReferences);
    auto it = cache_.find(crc);
    if (it == cache_.end()) {
        CachedReference entry;
        if (cache_.size() < capacity && !spare_.empty()) {
            entry = std::move(spare_.back());
            spare_.pop_back();
        }
        while (cache_.size() >= capacity && !recency_.empty()) {
            auto oldest = cache_.find(recency_.back());
            entry.bytes = std::move(oldest->second.bytes);
            entry.print = std::move(oldest->second.print);
            cache_.erase(oldest);
            recency_.pop_back();
        }
        recency_.push_front(crc);
        entry.recency = recency_.begin();
        it = cache_.emplace(crc, std::move(entry)).first;
    } else {
        recency_.splice(recency_.begin(), recency_, it->second.recency);
    }
    it->second.bytes.assign(reference, reference + length);
    PrepareInto(decoded_, false, it->second.print);
    return it->second.print;
}

void Matcher::ClearCache() {
    // The buffers stay for the next references: a cold identification then
    // allocates nothing per reference either.
    for (auto& [crc, entry] : cache_) {
        if (spare_.size() >= static_cast<std::size_t>(std::max(settings_.cachedReferences, 0)))
            break;
        spare_.push_back(std::move(entry));
    }
    cache_.clear();
    recency_.clear();
}

TemplateError Matcher::IdentifyNext(const std::uint8_t* reference, std::size_t size, int& score) {
    const bool caching = settings_.cachedReferences > 0;
    const PreparedPrint* prepared = caching ? Lookup(reference, size) : nullptr;
    if (prepared == nullptr) {
        const TemplateError error = DecodeTemplate(reference, size, decoded_);
        if (error != TemplateError::None) return error;
        if (caching) {
            prepared = &Remember(reference, size);
        } else {
            PrepareInto(decoded_, false, reference_);
            prepared = &reference_;
        }
    }
    last_ = Compare(probe_, *prepared, settings_);
    score = last_.score >= settings_.threshold ? last_.score : 0;
    return TemplateError::None;
}

int Matcher::IdentifyNext(const Features& reference) {
    PrepareInto(reference, false, reference_);
    last_ = Compare(probe_, reference_, settings_);
    return last_.score >= settings_.threshold ? last_.score : 0;
}

void Matcher::IdentifyEnd() {
    identifying_ = false;
}

}  // namespace fp
