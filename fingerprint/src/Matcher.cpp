// Local neighbourhoods propose minutia pairs; each of the best pairs seeds a
// rigid alignment that is refined by least squares and scored by the share of
// minutiae that pair up inside the region both prints show.
#include "fp/Matcher.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "Internal.h"

namespace fp {
namespace {

using detail::kPi;

constexpr int kGridCell = 32;
constexpr int kDefaultHypotheses = 12;
constexpr float kUnitToRadians = kPi / 128;

// Difference of two angles in steps of pi/128, 0..128.
inline int AngleDiff(int a, int b) {
    const int d = (a - b) & 255;
    return d > 128 ? 256 - d : d;
}

inline int ToUnits(float radians) {
    // floor by hand: without SSE4.1 std::floor is a library call, and
    // preparation converts an angle for every pair of near minutiae.
    const float v = radians / kUnitToRadians + 0.5f;
    int units = static_cast<int>(v);
    if (static_cast<float>(units) > v) --units;
    return units & 255;
}

// atan2 in steps of pi/128 with an error below half a step; the library call
// dominated preparation.
int AtanUnits(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    if (ax == 0 && ay == 0) return 0;
    const float a = std::min(ax, ay) / std::max(ax, ay), s = a * a;
    float r = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * a + a;
    if (ay > ax) r = kPi / 2 - r;
    if (x < 0) r = kPi - r;
    if (y < 0) r = -r;
    return ToUnits(r);
}

// Population count inline: without a popcnt target std::popcount is a library
// call, and the candidate search makes two per minutia pair.
inline int Bits(std::uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555u;
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((v * 0x0101010101010101u) >> 56);
}

// Occupancy cell of a neighbour: 4 rings of 20 pixels, 8 sectors, 4 direction classes.
constexpr float kCellReach = 80.f;
inline int CellBit(int ring, int sector, int turn) {
    return (ring * 8 + (sector & 7)) * 4 + (turn & 3);
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
        Transform t;
        t.setAngle(-angle);
        t.dx = -(c * dx + s * dy);
        t.dy = -(-s * dx + c * dy);
        return t;
    }
};

Transform FromPair(const PreparedPrint::Point& p, const PreparedPrint::Point& r) {
    Transform t;
    t.setAngle(static_cast<float>(((r.angle - p.angle) & 255)) * kUnitToRadians);
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

// Similarity of two neighbourhoods in 0..1: the share of neighbours that agree
// in distance, bearing and relative direction.
float LocalSimilarity(const PreparedPrint& a, int i, const PreparedPrint& b, int j) {
    constexpr int K = PreparedPrint::kNeighbours;
    const auto* na = &a.neighbours[static_cast<std::size_t>(i) * K];
    const auto* nb = &b.neighbours[static_cast<std::size_t>(j) * K];
    const int ka = a.neighbourCount[i], kb = b.neighbourCount[j];
    if (ka < 2 || kb < 2) return 0;
    unsigned used = 0;
    float sum = 0;
    // Both lists run nearest first and the lower end of the window grows with
    // the distance, so neighbours of b well below it stay below it (the margin
    // covers rounding).
    int first = 0;
    for (int u = 0; u < ka; ++u) {
        const float tolerance = 6.f + 0.08f * na[u].distance;
        const float low = na[u].distance - tolerance;
        while (first < kb && nb[first].distance < low - 0.01f) ++first;
        int best = -1;
        float bestCost = 1.f;
        for (int v = first; v < kb; ++v) {
            if (nb[v].distance > na[u].distance + tolerance) break;
            if ((used >> v & 1) || nb[v].distance < low) continue;
            const int db = AngleDiff(na[u].bearing, nb[v].bearing);
            const int dt = AngleDiff(na[u].turn, nb[v].turn);
            if (db > kBearingTolerance || dt > kTurnTolerance) continue;
            const float cost = (std::fabs(na[u].distance - nb[v].distance) / tolerance +
                                static_cast<float>(db) / kBearingTolerance +
                                static_cast<float>(dt) / kTurnTolerance) /
                               3;
            if (cost < bestCost) bestCost = cost, best = v;
        }
        if (best >= 0) {
            used |= 1u << best;
            sum += 1.f - 0.5f * bestCost;
        }
    }
    return sum / static_cast<float>(std::max(ka, kb));
}

bool InMask(const PreparedPrint& p, float x, float y) {
    if (x < 0 || y < 0 || x >= p.width || y >= p.height) return false;
    if (p.mask.columns == 0) return true;
    const int xi = static_cast<int>(x), yi = static_cast<int>(y), cell = p.mask.cell;
    // The extractor's 16-pixel cells: a shift rather than a division.
    if (cell == 16) return p.mask.At(xi >> 4, yi >> 4);
    return p.mask.At(xi / cell, yi / cell);
}

// Mean cos(2 x angle difference) of the ridge orientation over the cells both
// prints show after alignment: near 1 when the ridge flow agrees, near 0 for
// unrelated flow. `cells` counts the overlap.
float OrientationAgreement(const PreparedPrint& probe, const PreparedPrint& ref, const Transform& t,
                           int& cells) {
    cells = 0;
    const OrientationGrid& po = probe.orientation;
    const OrientationGrid& ro = ref.orientation;
    if (po.columns == 0 || ro.columns == 0) return 0;
    // cos and sin of twice every possible difference of two angle bytes.
    struct Table {
        float c[509], s[509];
        Table() {
            for (int d = -254; d <= 254; ++d) {
                c[d + 254] = std::cos(2 * d * kPi / 255);
                s[d + 254] = std::sin(2 * d * kPi / 255);
            }
        }
    };
    static const Table table;
    const Transform inverse = t.inverse();
    const float cr = std::cos(2 * t.angle), sr = std::sin(2 * t.angle);
    // Cells are 16 or 32 pixels in practice: a shift instead of a division.
    const int cell = po.cell;
    const int shift = std::has_single_bit(static_cast<unsigned>(cell))
                          ? std::countr_zero(static_cast<unsigned>(cell))
                          : -1;
    float sum = 0;
    for (const PreparedPrint::FlowCell& fc : ref.flowCells) {
        float x, y;
        inverse.apply(fc.x, fc.y, x, y);
        if (x < 0 || y < 0) continue;
        const int xi = static_cast<int>(x), yi = static_cast<int>(y);
        const int column = shift >= 0 ? xi >> shift : xi / cell;
        const int row = shift >= 0 ? yi >> shift : yi / cell;
        if (column >= po.columns || row >= po.rows) continue;
        const std::uint8_t b = po.angles[static_cast<std::size_t>(row) * po.columns + column];
        if (b == OrientationGrid::kNone) continue;
        // cos(2 (a - b - rotation)), with a - b from the table.
        const int d = fc.angle - b + 254;
        sum += table.c[d] * cr + table.s[d] * sr;
        ++cells;
    }
    return cells > 0 ? sum / cells : 0;
}

// Flow agreement of unrelated prints aligned by chance sits around 0.7, that
// of impressions of one finger above 0.9.
constexpr float kFlowUnrelated = 0.6f, kFlowAgrees = 0.95f;
constexpr int kMinFlowCells = 8;

struct Seed {
    float similarity;
    int p, r;
};

struct Link {
    float cost;
    std::uint16_t p, r;
};

// Buffers reused by every alignment of one comparison.
struct Scratch {
    std::vector<Link> links;
    std::vector<std::uint8_t> usedP, usedR;
    std::vector<std::pair<int, int>> pairs;
};

struct Pairing {
    int matched = 0;
    float weight = 0;
};

// Greedy one-to-one pairing of the transformed probe with the reference; the
// pairs are left in scratch.pairs.
Pairing Pair(const PreparedPrint& probe, const PreparedPrint& ref, const Transform& t, float cx,
             float cy, float baseTolerance, Scratch& scratch) {
    auto& links = scratch.links;
    links.clear();
    for (std::size_t i = 0; i < probe.points.size(); ++i) {
        const auto& pp = probe.points[i];
        float x, y;
        t.apply(pp.x, pp.y, x, y);
        const int angle = pp.angle + t.units;
        // Skin stretches: allow more play far from the alignment centre.
        const float fx = x - cx, fy = y - cy;
        const float tolerance =
            std::min(baseTolerance + 0.05f * std::sqrt(fx * fx + fy * fy), 18.f);
        const int c0 = std::max(0, static_cast<int>((x - tolerance) / kGridCell));
        const int c1 = std::min(ref.gridColumns - 1, static_cast<int>((x + tolerance) / kGridCell));
        const int r0 = std::max(0, static_cast<int>((y - tolerance) / kGridCell));
        const int r1 = std::min(ref.gridRows - 1, static_cast<int>((y + tolerance) / kGridCell));
        for (int r = r0; r <= r1; ++r)
            for (int c = c0; c <= c1; ++c) {
                const std::size_t cell = static_cast<std::size_t>(r) * ref.gridColumns + c;
                for (int k = ref.gridStart[cell]; k < ref.gridStart[cell + 1]; ++k) {
                    const int j = ref.gridItems[k];
                    const auto& rp = ref.points[j];
                    const float ex = rp.x - x, ey = rp.y - y;
                    const float d2 = ex * ex + ey * ey;
                    if (d2 > tolerance * tolerance) continue;
                    const int da = AngleDiff(rp.angle, angle);
                    if (da > kPairAngleTolerance) continue;
                    links.push_back(
                        {std::sqrt(d2) / tolerance + static_cast<float>(da) / kPairAngleTolerance,
                         static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(j)});
                }
            }
    }
    std::sort(links.begin(), links.end(),
              [](const Link& a, const Link& b) { return a.cost < b.cost; });
    scratch.usedP.assign(probe.points.size(), 0);
    scratch.usedR.assign(ref.points.size(), 0);
    scratch.pairs.clear();
    Pairing out;
    for (const Link& l : links) {
        if (scratch.usedP[l.p] || scratch.usedR[l.r]) continue;
        scratch.usedP[l.p] = scratch.usedR[l.r] = 1;
        ++out.matched;
        out.weight +=
            (1.f - 0.5f * l.cost) * std::sqrt(probe.points[l.p].quality * ref.points[l.r].quality);
        scratch.pairs.push_back({l.p, l.r});
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

PreparedPrint Prepare(const Features& f, bool asProbe) {
    PreparedPrint p;
    PrepareInto(f, asProbe, p);
    return p;
}

void PrepareInto(const Features& f, bool asProbe, PreparedPrint& p) {
    p.width = f.width;
    p.height = f.height;
    p.mask = f.mask;
    p.orientation = f.orientation;
    p.flowCells.clear();
    const OrientationGrid& o = p.orientation;
    for (int r = 0; r < o.rows; ++r)
        for (int c = 0; c < o.columns; ++c)
            if (const std::uint8_t a = o.At(c, r); a != OrientationGrid::kNone)
                p.flowCells.push_back({(c + 0.5f) * o.cell, (r + 0.5f) * o.cell, a});
    p.points.clear();
    for (const Minutia& m : f.minutiae)
        p.points.push_back({static_cast<float>(m.x), static_cast<float>(m.y), m.direction,
                            m.quality / 100.f, m.type});
    const std::size_t n = p.points.size();
    constexpr int K = PreparedPrint::kNeighbours;
    constexpr int W = PreparedPrint::kCellWords;
    constexpr float kReach = 120.f;
    p.neighbours.assign(n * K, {});
    p.neighbourCount.assign(n, 0);
    p.cells.assign(n * W, 0);
    if (asProbe) {
        p.spreadCells.assign(n * W, 0);
    } else {
        p.spreadCells.clear();
    }
    auto set = [](std::uint64_t* words, int bit) {
        words[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    };
    for (std::size_t i = 0; i < n; ++i) {
        const auto& a = p.points[i];
        PreparedPrint::Neighbour* nearest = &p.neighbours[i * K];
        int count = 0;
        std::uint64_t* exact = &p.cells[i * W];
        std::uint64_t* spread = asProbe ? &p.spreadCells[i * W] : nullptr;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            const auto& b = p.points[j];
            const float dx = b.x - a.x, dy = b.y - a.y;
            const float d2 = dx * dx + dy * dy;
            if (d2 >= kReach * kReach) continue;
            const float d = std::sqrt(d2);
            if (count == K && d >= nearest[K - 1].distance && d >= kCellReach + 6) continue;
            const PreparedPrint::Neighbour nb{d, (AtanUnits(dy, dx) - a.angle) & 255,
                                              (b.angle - a.angle) & 255};
            // Keep the K nearest in order, by insertion.
            if (count < K || d < nearest[K - 1].distance) {
                int k = count < K ? count++ : K - 1;
                while (k > 0 && nearest[k - 1].distance > d) nearest[k] = nearest[k - 1], --k;
                nearest[k] = nb;
            }
            if (d < kCellReach)
                set(exact, CellBit(static_cast<int>(d / 20), nb.bearing >> 5, nb.turn >> 6));
            if (!spread || d >= kCellReach + 6) continue;
            const int ring0 = static_cast<int>(std::max(0.f, d - 6) / 20);
            const int ring1 = std::min(3, static_cast<int>((d + 6) / 20));
            for (int r = ring0; r <= ring1; ++r)
                for (int sb : {nb.bearing - 10, nb.bearing + 10})
                    for (int tb : {nb.turn - 14, nb.turn + 14})
                        set(spread, CellBit(r, (sb & 255) >> 5, (tb & 255) >> 6));
        }
        p.neighbourCount[i] = static_cast<std::uint8_t>(count);
    }
    p.gridColumns = std::max(1, (p.width + kGridCell - 1) / kGridCell);
    p.gridRows = std::max(1, (p.height + kGridCell - 1) / kGridCell);
    const std::size_t cells = static_cast<std::size_t>(p.gridColumns) * p.gridRows;
    std::vector<int> counts(cells + 1, 0);
    auto cellOf = [&](const PreparedPrint::Point& pt) {
        const int c = std::clamp(static_cast<int>(pt.x) / kGridCell, 0, p.gridColumns - 1);
        const int r = std::clamp(static_cast<int>(pt.y) / kGridCell, 0, p.gridRows - 1);
        return static_cast<std::size_t>(r) * p.gridColumns + c;
    };
    for (const auto& pt : p.points) ++counts[cellOf(pt) + 1];
    for (std::size_t c = 0; c < cells; ++c) counts[c + 1] += counts[c];
    p.gridStart.assign(counts.begin(), counts.end());
    p.gridItems.assign(n, 0);
    std::vector<int> fill(counts.begin(), counts.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
        p.gridItems[fill[cellOf(p.points[i])]++] = static_cast<std::uint16_t>(i);
}

Comparison Compare(const PreparedPrint& probe, const PreparedPrint& ref,
                   const MatcherSettings& settings) {
    Comparison best;
    const std::size_t np = probe.points.size(), nr = ref.points.size();
    if (np < 3 || nr < 3 || probe.spreadCells.size() != np * PreparedPrint::kCellWords) return best;
    const int maxRotation = std::clamp(settings.maxRotation, 0, 128);

    // Buffers kept per thread so that one-to-many identification does not
    // allocate per reference.
    thread_local Scratch scratch;
    thread_local std::vector<Seed> seeds;
    thread_local std::vector<std::uint8_t> covered;
    const std::size_t wanted = settings.hypotheses > 0 ? settings.hypotheses : kDefaultHypotheses;
    auto bySimilarity = [](const Seed& a, const Seed& b) { return a.similarity > b.similarity; };
    // Occupancy overlap first, the full neighbourhood comparison for the best of those.
    constexpr int W = PreparedPrint::kCellWords;
    seeds.clear();
    for (std::size_t i = 0; i < np; ++i) {
        const std::uint64_t* a = &probe.spreadCells[i * W];
        for (std::size_t j = 0; j < nr; ++j) {
            if (AngleDiff(probe.points[i].angle, ref.points[j].angle) >
                maxRotation + kSeedAngleSlack)
                continue;
            const std::uint64_t* b = &ref.cells[j * W];
            int common = 0;
            for (int k = 0; k < W; ++k) common += Bits(a[k] & b[k]);
            if (common >= 2)
                seeds.push_back(
                    {static_cast<float>(common), static_cast<int>(i), static_cast<int>(j)});
        }
    }
    const std::size_t shortlist = std::min(seeds.size(), 4 * wanted);
    std::partial_sort(seeds.begin(), seeds.begin() + shortlist, seeds.end(), bySimilarity);
    seeds.resize(shortlist);
    for (Seed& seed : seeds) seed.similarity = LocalSimilarity(probe, seed.p, ref, seed.r);
    std::erase_if(seeds, [](const Seed& seed) { return seed.similarity <= 0.2f; });
    const std::size_t hypotheses = std::min(seeds.size(), wanted);
    std::partial_sort(seeds.begin(), seeds.begin() + hypotheses, seeds.end(), bySimilarity);

    // A seed already paired under an earlier alignment would only repeat it.
    covered.assign(np * nr, 0);
    for (std::size_t h = 0; h < hypotheses; ++h) {
        if (covered[static_cast<std::size_t>(seeds[h].p) * nr + seeds[h].r]) continue;
        const auto& sr = ref.points[seeds[h].r];
        Transform t = FromPair(probe.points[seeds[h].p], sr);
        Pairing pairing = Pair(probe, ref, t, sr.x, sr.y, 10.f, scratch);
        if (pairing.matched >= 3) {
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

        // Only minutiae that the other print could have shown count against a match.
        int seenP = 0, seenR = 0;
        for (const auto& pp : probe.points) {
            float x, y;
            t.apply(pp.x, pp.y, x, y);
            seenP += InMask(ref, x, y);
        }
        const Transform inverse = t.inverse();
        for (const auto& rp : ref.points) {
            float x, y;
            inverse.apply(rp.x, rp.y, x, y);
            seenR += InMask(probe, x, y);
        }
        constexpr float kFloor = 12.f;
        const float m = pairing.weight;
        double similarity =
            m * m / (std::max<float>(seenP, kFloor) * std::max<float>(seenR, kFloor));
        if (similarity <= best.similarity) continue;  // the flow check can only lower it
        // Chance alignments of different fingers pair some minutiae but rarely
        // align the ridge flow around them.
        int cells = 0;
        const float agreement = OrientationAgreement(probe, ref, t, cells);
        if (cells >= kMinFlowCells) {
            const float f = std::clamp(
                (agreement - kFlowUnrelated) / (kFlowAgrees - kFlowUnrelated), 0.05f, 1.f);
            similarity *= f * f;
        }
        if (similarity > best.similarity) {
            best.similarity = similarity;
            best.agreement = agreement;
            best.matched = pairing.matched;
            best.rotation = t.angle;
            best.dx = t.dx;
            best.dy = t.dy;
        }
    }
    best.score = ScoreFromSimilarity(best.similarity);
    return best;
}

TemplateError Matcher::IdentifyStart(const std::uint8_t* probe, std::size_t size) {
    Features f;
    const TemplateError error = DecodeTemplate(probe, size, f);
    if (error != TemplateError::None) {
        identifying_ = false;
        return error;
    }
    IdentifyStart(f);
    return TemplateError::None;
}

void Matcher::IdentifyStart(const Features& probe) {
    probe_ = Prepare(probe);
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
    probe_ = {};
}

}  // namespace fp
